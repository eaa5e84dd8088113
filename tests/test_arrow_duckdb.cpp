// The columnar export read by a real engine: DuckDB's C library (loaded at
// run time) scans the stream of a closed table, and its SQL answers must
// agree with the library's own answers in text and typed mode and for a
// column subset.
//
// The library's path: $VELMORA_DUCKDB_LIBRARY, else the one scripts/setup
// installs (VELMORA_DUCKDB_LIBRARY in the CMake cache). The test is skipped
// when it is absent, unless $VELMORA_REQUIRE_DUCKDB is set (scripts/test).
#include <dlfcn.h>
#include <math.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <yyjson.h>

#include "arrow_check.h"
#include "test_util.h"

// The engine's C API never releases the schemas it asks a stream for in
// duckdb_arrow_scan and in its scan factory (the release callbacks are
// never called), so each scan leaves them behind: its leak, not the
// stream's. LeakSanitizer is told so, by those two function names only;
// the stream's own release rules are checked in test_arrow.
extern "C" const char *__lsan_default_suppressions() {
    return "leak:duckdb_arrow_scan\nleak:FactoryGetSchema\n";
}

namespace {

// The few declarations of the engine's C API this test uses.
typedef uint64_t idx_t;
typedef void *duckdb_database;
typedef void *duckdb_connection;
typedef struct {
    idx_t deprecated_column_count;
    idx_t deprecated_row_count;
    idx_t deprecated_rows_changed;
    void *deprecated_columns;
    char *deprecated_error_message;
    void *internal_data;
} duckdb_result;

struct DuckApi {
    void *lib = nullptr;
    int (*open)(const char *, duckdb_database *);
    int (*connect)(duckdb_database, duckdb_connection *);
    int (*query)(duckdb_connection, const char *, duckdb_result *);
    const char *(*result_error)(duckdb_result *);
    idx_t (*row_count)(duckdb_result *);
    idx_t (*column_count)(duckdb_result *);
    int64_t (*value_int64)(duckdb_result *, idx_t, idx_t);
    double (*value_double)(duckdb_result *, idx_t, idx_t);
    char *(*value_varchar)(duckdb_result *, idx_t, idx_t);
    bool (*value_is_null)(duckdb_result *, idx_t, idx_t);
    void (*free)(void *);
    void (*destroy_result)(duckdb_result *);
    void (*disconnect)(duckdb_connection *);
    void (*close)(duckdb_database *);
    int (*arrow_scan)(duckdb_connection, const char *, void *);
    std::string error;

    bool load(const std::string &path) {
        lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr) {
            error = dlerror();
            return false;
        }
        bool ok = true;
        auto sym = [&](auto &fn, const char *name) {
            void *p = dlsym(lib, name);
            if (p == nullptr) {
                error += std::string(" missing ") + name;
                ok = false;
            }
            fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(p);
        };
        sym(open, "duckdb_open");
        sym(connect, "duckdb_connect");
        sym(query, "duckdb_query");
        sym(result_error, "duckdb_result_error");
        sym(row_count, "duckdb_row_count");
        sym(column_count, "duckdb_column_count");
        sym(value_int64, "duckdb_value_int64");
        sym(value_double, "duckdb_value_double");
        sym(value_varchar, "duckdb_value_varchar");
        sym(value_is_null, "duckdb_value_is_null");
        sym(free, "duckdb_free");
        sym(destroy_result, "duckdb_destroy_result");
        sym(disconnect, "duckdb_disconnect");
        sym(close, "duckdb_close");
        sym(arrow_scan, "duckdb_arrow_scan");
        return ok;
    }
};

std::string duckdb_path() {
    const char *env = getenv("VELMORA_DUCKDB_LIBRARY");
    return env != nullptr && env[0] != '\0' ? env : VELMORA_DUCKDB_DEFAULT;
}

// One in-memory database with one connection, for the whole test program.
class Duck {
public:
    static Duck &get() {
        static Duck d;
        return d;
    }
    bool ready() const { return con_ != nullptr; }
    const std::string &why() const { return why_; }

    // The first cell of the answer to `sql`, as text ("NULL" for null).
    std::string one(const std::string &sql) {
        duckdb_result r{};
        if (api_.query(con_, sql.c_str(), &r) != 0) {
            std::string e = std::string("query failed: ") + sql + ": " + api_.result_error(&r);
            api_.destroy_result(&r);
            ADD_FAILURE() << e;
            return "<error>";
        }
        std::string out = "NULL";
        if (api_.row_count(&r) > 0 && !api_.value_is_null(&r, 0, 0)) {
            char *s = api_.value_varchar(&r, 0, 0);
            out = s;
            api_.free(s);
        }
        api_.destroy_result(&r);
        return out;
    }
    void run(const std::string &sql) { one(sql); }

    // Registers the stream under `name` and copies it into a table of that
    // name: the stream can be scanned once. The stream is released here.
    bool take(ArrowArrayStream *s, const std::string &name) {
        const std::string view = name + "_scan";
        const bool ok = api_.arrow_scan(con_, view.c_str(), s) == 0;
        if (ok) {
            run("CREATE OR REPLACE TABLE " + name + " AS SELECT * FROM " + view);
            run("DROP VIEW " + view);
        }
        s->release(s);
        return ok;
    }

private:
    Duck() {
        const std::string path = duckdb_path();
        struct stat st;
        if (stat(path.c_str(), &st) != 0) {
            why_ = "DuckDB's C library is not installed at " + path +
                   " (scripts/setup installs it; $VELMORA_DUCKDB_LIBRARY names another)";
            return;
        }
        if (!api_.load(path)) {
            why_ = "cannot load " + path + ": " + api_.error;
            failed_ = true;
            return;
        }
        if (api_.open(nullptr, &db_) != 0 || api_.connect(db_, &con_) != 0) {
            why_ = "cannot open an in-memory database";
            failed_ = true;
            con_ = nullptr;
        }
    }
    // The library stays loaded: its threads and static objects end with the process.
    ~Duck() {
        if (con_ != nullptr) api_.disconnect(&con_);
        if (db_ != nullptr) api_.close(&db_);
    }

public:
    bool failed_ = false;

private:
    DuckApi api_;
    duckdb_database db_ = nullptr;
    duckdb_connection con_ = nullptr;
    std::string why_;
};

// A mixed table of more rows than one batch holds: integers, decimals with
// gaps, text with repeats, non-ASCII and unrepaired bytes, and a numeric
// column with the odd "N/A".
std::string mixed_csv(int rows) {
    std::string csv = "id,price,qty,name,score,note\n";
    const char *names[] = {"alpha", "beta", "gamma", "d\xc3\xa9lta", "\xe9psilon", "zeta z"};
    for (int i = 0; i < rows; ++i) {
        csv += std::to_string(i * 7 - 1000) + ",";
        if (i % 11 != 0) csv += std::to_string(i % 1000) + "." + std::to_string(i % 100);
        csv += ",";
        if (i % 13 != 0) csv += std::to_string((i * 31) % 500 - 250);
        csv += ",";
        csv += names[i % 6];
        csv += ",";
        csv += i % 1000 == 5 ? std::string("N/A") : std::to_string(i % 97) + ".5";
        csv += ",";
        if (i % 3 == 0) csv += "n" + std::to_string(i % 50);
        csv += "\n";
    }
    return csv;
}

class ArrowDuckdb : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        h_ = csv_load(vtest::write_temp("mixed.csv", mixed_csv(150000)).c_str(), 1);
        ASSERT_GE(h_, 0) << csv_last_error();
        rows_ = varrow::rows_of(h_);
        headers_ = varrow::headers_of(h_);
        stats_ = csv_stats(h_);
    }
    static void TearDownTestSuite() { csv_close(h_); }

    void SetUp() override {
        Duck &d = Duck::get();
        if (!d.ready()) {
            if (d.failed_ || getenv("VELMORA_REQUIRE_DUCKDB") != nullptr) FAIL() << d.why();
            GTEST_SKIP() << d.why();
        }
    }

    // Exports (cols, flags), closes nothing: the suite's table is reloaded
    // and closed so that the engine reads a stream whose table is gone.
    static void export_closed(const char *cols, int flags, const std::string &name) {
        const int h = csv_load(vtest::write_temp("mixed_again.csv", mixed_csv(150000)).c_str(), 1);
        ASSERT_GE(h, 0);
        ArrowArrayStream s;
        ASSERT_EQ(csv_arrow_stream(h, cols, flags, &s), 0) << csv_last_error();
        csv_close(h);
        ASSERT_TRUE(Duck::get().take(&s, name));
    }

    // Statistics of column `c` from csv_stats.
    static yyjson_val *stat(yyjson_doc *doc, size_t c) {
        return yyjson_arr_get(yyjson_obj_get(yyjson_doc_get_root(doc), "columns"), c);
    }

    // The library's answers for one column, from csv_rows.
    struct Expect {
        int64_t non_empty = 0, empty = 0, bytes = 0, chars = 0, int_sum = 0;
        std::set<std::string> distinct;
    };
    static Expect expect(size_t c) {
        Expect e;
        for (const auto &row : rows_) {
            const std::string &v = row[c];
            if (v.empty()) ++e.empty;
            else ++e.non_empty;
            e.bytes += static_cast<int64_t>(v.size());
            for (unsigned char ch : v) e.chars += (ch & 0xC0) != 0x80;
            e.distinct.insert(v);
            if (!v.empty()) e.int_sum += strtoll(v.c_str(), nullptr, 10);
        }
        return e;
    }

    static int h_;
    static std::vector<std::vector<std::string>> rows_;
    static std::vector<std::string> headers_;
    static std::string stats_;
};

int ArrowDuckdb::h_ = -1;
std::vector<std::vector<std::string>> ArrowDuckdb::rows_;
std::vector<std::string> ArrowDuckdb::headers_;
std::string ArrowDuckdb::stats_;

TEST_F(ArrowDuckdb, TextModeAnswersAgree) {
    export_closed(nullptr, CSV_ARROW_TEXT, "t_text");
    Duck &d = Duck::get();
    EXPECT_EQ(d.one("SELECT count(*) FROM t_text"), std::to_string(rows_.size()));
    for (size_t c = 0; c < headers_.size(); ++c) {
        const std::string col = "\"" + headers_[c] + "\"";
        const Expect e = expect(c);
        SCOPED_TRACE(headers_[c]);
        EXPECT_EQ(d.one("SELECT typeof(" + col + ") FROM t_text LIMIT 1"), "VARCHAR");
        EXPECT_EQ(d.one("SELECT count(" + col + ") FROM t_text"), std::to_string(rows_.size()));
        EXPECT_EQ(d.one("SELECT count(*) FROM t_text WHERE " + col + " = ''"), std::to_string(e.empty));
        EXPECT_EQ(d.one("SELECT sum(strlen(" + col + ")) FROM t_text"), std::to_string(e.bytes));
        EXPECT_EQ(d.one("SELECT sum(length(" + col + ")) FROM t_text"), std::to_string(e.chars));
        EXPECT_EQ(d.one("SELECT count(DISTINCT " + col + ") FROM t_text"), std::to_string(e.distinct.size()));
    }
    // Row order is table order: the first and last rows' texts.
    EXPECT_EQ(d.one("SELECT name FROM t_text LIMIT 1"), rows_.front()[3]);
    EXPECT_EQ(d.one("SELECT name FROM t_text LIMIT 1 OFFSET " + std::to_string(rows_.size() - 1)),
              rows_.back()[3]);
}

// Typed mode, with and without the null markers: the engine's column types,
// null counts, sums, extremes and distinct counts against csv_stats and csv_rows.
TEST_F(ArrowDuckdb, TypedModeAnswersAgree) {
    struct Mode {
        int flags;
        std::vector<std::string> types;
    };
    const Mode modes[] = {
        {CSV_ARROW_TYPED, {"BIGINT", "DOUBLE", "BIGINT", "VARCHAR", "VARCHAR", "VARCHAR"}},
        {CSV_ARROW_TYPED | CSV_ARROW_NULL_MARKERS,
         {"BIGINT", "DOUBLE", "BIGINT", "VARCHAR", "DOUBLE", "VARCHAR"}},
    };
    yyjson_doc *doc = yyjson_read(stats_.c_str(), stats_.size(), 0);
    ASSERT_NE(doc, nullptr);
    Duck &d = Duck::get();
    for (const Mode &m : modes) {
        SCOPED_TRACE(m.flags);
        export_closed(nullptr, m.flags, "t_typed");
        EXPECT_EQ(d.one("SELECT count(*) FROM t_typed"), std::to_string(rows_.size()));
        for (size_t c = 0; c < headers_.size(); ++c) {
            const std::string col = "\"" + headers_[c] + "\"";
            SCOPED_TRACE(headers_[c]);
            const Expect e = expect(c);
            yyjson_val *st = stat(doc, c);
            EXPECT_EQ(d.one("SELECT typeof(" + col + ") FROM t_typed LIMIT 1"), m.types[c]);
            // A column the statistics call numeric is typed, and the other way round.
            if (m.flags == CSV_ARROW_TYPED)
                EXPECT_EQ(yyjson_get_bool(yyjson_obj_get(st, "numeric")), m.types[c] != "VARCHAR");
            if (m.types[c] == "VARCHAR") {
                EXPECT_EQ(d.one("SELECT count(" + col + ") FROM t_typed"), std::to_string(rows_.size()));
                EXPECT_EQ(d.one("SELECT sum(strlen(" + col + ")) FROM t_typed"), std::to_string(e.bytes));
                EXPECT_EQ(d.one("SELECT count(DISTINCT " + col + ") FROM t_typed"),
                          std::to_string(e.distinct.size()));
                continue;
            }
            int64_t markers = 0;
            for (const auto &row : rows_) markers += row[c] == "N/A";
            EXPECT_EQ(d.one("SELECT count(" + col + ") FROM t_typed"), std::to_string(e.non_empty - markers));
            EXPECT_EQ(d.one("SELECT count(*) - count(" + col + ") FROM t_typed"),
                      std::to_string(e.empty + markers));
            EXPECT_EQ(d.one("SELECT count(DISTINCT " + col + ") FROM t_typed"),
                      std::to_string(e.distinct.size() - (e.empty > 0) - (markers > 0)));
            if (m.types[c] == "BIGINT") {
                EXPECT_EQ(d.one("SELECT sum(" + col + ") FROM t_typed"), std::to_string(e.int_sum));
            }
            if (markers == 0) {  // the statistics read every non-empty cell
                EXPECT_EQ(strtod(d.one("SELECT min(" + col + ") FROM t_typed").c_str(), nullptr),
                          yyjson_get_num(yyjson_obj_get(st, "min")));
                EXPECT_EQ(strtod(d.one("SELECT max(" + col + ") FROM t_typed").c_str(), nullptr),
                          yyjson_get_num(yyjson_obj_get(st, "max")));
                const double mean = yyjson_get_num(yyjson_obj_get(st, "mean"));
                EXPECT_NEAR(strtod(d.one("SELECT avg(" + col + ") FROM t_typed").c_str(), nullptr), mean,
                            1e-9 * fabs(mean) + 1e-12);
            }
        }
    }
    yyjson_doc_free(doc);
}

TEST_F(ArrowDuckdb, ColumnSubsetAnswersAgree) {
    export_closed("name,2,qty", CSV_ARROW_TYPED, "t_sub");
    Duck &d = Duck::get();
    EXPECT_EQ(d.one("SELECT count(*) FROM information_schema.columns WHERE table_name = 't_sub'"), "3");
    EXPECT_EQ(d.one("SELECT typeof(name) || ',' || typeof(price) || ',' || typeof(qty) FROM t_sub LIMIT 1"),
              "VARCHAR,DOUBLE,BIGINT");
    const Expect qty = expect(2), name = expect(3);
    EXPECT_EQ(d.one("SELECT sum(qty) FROM t_sub"), std::to_string(qty.int_sum));
    EXPECT_EQ(d.one("SELECT count(DISTINCT name) FROM t_sub"), std::to_string(name.distinct.size()));
    EXPECT_EQ(d.one("SELECT sum(strlen(name)) FROM t_sub"), std::to_string(name.bytes));
    // The same rows as csv_select gives, row for row.
    const auto sel = varrow::select_of(h_, "name,2,qty");
    ASSERT_EQ(sel.size(), rows_.size());
    EXPECT_EQ(d.one("SELECT name || '|' || coalesce(price::VARCHAR, '') || '|' || coalesce(qty::VARCHAR, '') "
                    "FROM t_sub LIMIT 1 OFFSET 12345"),
              sel[12345][0] + "|" + sel[12345][1] + "|" + sel[12345][2]);
}

}  // namespace
