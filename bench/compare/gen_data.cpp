// Deterministic generator of the comparison data sets.
//
//   gen_data OUTDIR [--divide N] [mixed|mixed_utf16|numeric|text50 ...]
//
// writes, always byte for byte the same (--divide N: the first 1/N of the
// rows of each, for quick trial runs):
//   mixed.csv         1,000,000 rows x 10 mixed columns (about 125 MB)
//   mixed_utf16.csv   the same table, semicolon-separated, UTF-16 LE with BOM
//   numeric.csv       5,000,000 rows x 4 numeric columns
//   text50.csv        200,000 rows x 50 short text columns
//
// The random source is a fixed-seed splitmix64, so the files do not depend
// on the C++ library's distributions.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Row counts are divided by this (--divide), for small trial data sets.
int64_t g_divide = 1;

int64_t rows_of(int64_t full) { return full / g_divide > 0 ? full / g_divide : 1; }

struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed) : s(seed) {}
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n).
  uint64_t below(uint64_t n) { return next() % n; }
  // Uniform in [lo, hi].
  int64_t range(int64_t lo, int64_t hi) {
    return lo + (int64_t)below((uint64_t)(hi - lo + 1));
  }
  bool chance(uint32_t per_million) { return below(1000000) < per_million; }
};

// Buffered output file.
class Out {
 public:
  explicit Out(const std::string &path) : path_(path) {
    f_ = std::fopen(path.c_str(), "wb");
    if (!f_) {
      std::perror(path.c_str());
      std::exit(1);
    }
    buf_.reserve(1 << 20);
  }
  ~Out() { close(); }
  void put(const char *s, size_t n) {
    buf_.append(s, n);
    if (buf_.size() >= (1u << 20)) flush();
  }
  void put(const std::string &s) { put(s.data(), s.size()); }
  void flush() {
    if (!buf_.empty() && std::fwrite(buf_.data(), 1, buf_.size(), f_) != buf_.size()) {
      std::perror(path_.c_str());
      std::exit(1);
    }
    buf_.clear();
  }
  void close() {
    if (!f_) return;
    flush();
    if (std::fclose(f_) != 0) {
      std::perror(path_.c_str());
      std::exit(1);
    }
    f_ = nullptr;
  }

 private:
  std::string path_;
  std::FILE *f_ = nullptr;
  std::string buf_;
};

void append_int(std::string &s, int64_t v) {
  char tmp[24];
  int n = std::snprintf(tmp, sizeof tmp, "%lld", (long long)v);
  s.append(tmp, (size_t)n);
}

// A fixed-point number with `dec` decimals, e.g. cents 12345, dec 2 -> 123.45.
void append_fixed(std::string &s, int64_t scaled, int dec) {
  if (scaled < 0) {
    s.push_back('-');
    scaled = -scaled;
  }
  int64_t div = 1;
  for (int i = 0; i < dec; i++) div *= 10;
  append_int(s, scaled / div);
  s.push_back('.');
  char tmp[24];
  int n = std::snprintf(tmp, sizeof tmp, "%0*lld", dec, (long long)(scaled % div));
  s.append(tmp, (size_t)n);
}

// Appends one field, quoted when it holds a separator, quote or line break.
void append_field(std::string &s, const std::string &v, char delim) {
  bool quote = v.find_first_of(",;\"\n") != std::string::npos || v.find(delim) != std::string::npos;
  if (!quote) {
    s += v;
    return;
  }
  s.push_back('"');
  for (char c : v) {
    if (c == '"') s.push_back('"');
    s.push_back(c);
  }
  s.push_back('"');
}

const char *const kCategories[] = {"books", "garden", "toys", "tools", "music", "sports",
                                   "food", "games", "office", "pets", "beauty", "auto"};
const char *const kStatus[] = {"new", "paid", "shipped", "returned", "cancelled"};
const char *const kCities[] = {
    "São Paulo", "Zürich",   "München",    "Kraków",   "Malmö",  "Reykjavík", "Łódź",
    "İstanbul",  "Αθήνα",    "Москва",     "東京",     "Córdoba", "Besançon",  "Tromsø",
    "Düsseldorf", "Gdańsk",  "Ljubljana",  "Lyon",     "Porto",  "Oslo",      "Québec",
    "Kyiv",      "Praha",    "Brno",       "Ærøskøbing", "Mälaren", "Sevilla", "A Coruña"};
const char *const kNames[] = {"Smith", "Jones", "Müller", "Garcia", "Rossi", "Nowak",
                              "Silva", "Dubois", "Novak", "Berg",   "Costa", "Kowalski",
                              "Larsen", "Weber", "Moreau", "Horvat"};
const char *const kSuffix[] = {"Ltd", "GmbH", "Inc", "AG", "S.A.", "& Sons", "Group", "Co"};
const char *const kWords[] = {
    "order", "arrived", "late", "box", "damaged", "customer", "asked", "for", "a", "new",
    "delivery", "date", "the", "item", "was", "fine", "colour", "differs", "from", "photo",
    "please", "call", "before", "noon", "gift", "wrap", "requested", "express", "shipping",
    "paid", "twice", "invoice", "missing", "address", "changed", "after", "dispatch", "left",
    "at", "door", "neighbour", "signed", "return", "label", "sent", "by", "email", "quality",
    "good", "size", "too", "small", "exchange", "only", "no", "cash", "warranty", "claim",
    "opened", "partial", "refund", "approved", "pending", "review", "courier", "lost",
    "parcel", "tracking", "number", "updated", "weekend", "service", "excellent", "slow",
    "packaging", "recycled", "discount", "code", "applied", "loyalty", "points", "added"};

template <size_t N>
const char *pick(Rng &r, const char *const (&a)[N]) {
  return a[r.below(N)];
}

std::string free_text(Rng &r) {
  size_t target = (size_t)r.range(30, 80);
  std::string t;
  while (t.size() < target) {
    if (!t.empty()) t.push_back(' ');
    t += pick(r, kWords);
  }
  // Cut to the target at a byte boundary (the words are ASCII).
  t.resize(target);
  while (!t.empty() && t.back() == ' ') t.pop_back();
  return t;
}

std::string company(Rng &r) {
  std::string c = pick(r, kNames);
  uint64_t k = r.below(100);
  if (k < 30) {
    c += ", ";
    c += pick(r, kNames);
    c += " ";
    c += pick(r, kSuffix);
  } else if (k < 35) {
    c = std::string("The \"") + c + "\" " + pick(r, kSuffix);
  } else {
    c += " ";
    c += pick(r, kSuffix);
  }
  if (r.chance(200)) c += "\nDepartment " + std::to_string(r.range(1, 9));
  return c;
}

void append_date(std::string &s, Rng &r) {
  char tmp[16];
  int n = std::snprintf(tmp, sizeof tmp, "%04d-%02d-%02d", (int)r.range(2015, 2024),
                        (int)r.range(1, 12), (int)r.range(1, 28));
  s.append(tmp, (size_t)n);
}

// One record of the mixed table, without its line end.
void mixed_row(std::string &s, Rng &r, int64_t id, char d) {
  append_int(s, id);
  s.push_back(d);
  append_int(s, r.range(10000, 999999));
  s.push_back(d);
  append_int(s, r.range(1, 500));
  s.push_back(d);
  if (!r.chance(50000)) append_fixed(s, r.range(1, 999999), 2);  // 5% empty prices
  s.push_back(d);
  s += pick(r, kCategories);
  s.push_back(d);
  s += pick(r, kStatus);
  s.push_back(d);
  s += pick(r, kCities);
  s.push_back(d);
  append_field(s, company(r), d);
  s.push_back(d);
  append_date(s, r);
  s.push_back(d);
  append_field(s, free_text(r), d);
}

const char kMixedHeader[] =
    "id,customer_id,quantity,price,category,status,city,company,order_date,comment";

void gen_mixed(const std::string &dir) {
  Out out(dir + "/mixed.csv");
  Rng r(20240611);
  std::string s = kMixedHeader;
  s += "\n";
  for (int64_t i = 1; i <= rows_of(1000000); i++) {
    mixed_row(s, r, i, ',');
    s += "\n";
    if (s.size() > (1u << 16)) {
      out.put(s);
      s.clear();
    }
  }
  out.put(s);
}

// UTF-8 to UTF-16 LE; the input is generated, so it is well-formed.
void put_utf16le(std::string &dst, const std::string &src) {
  const unsigned char *p = (const unsigned char *)src.data();
  const unsigned char *e = p + src.size();
  while (p < e) {
    uint32_t c = *p++;
    if (c >= 0xF0) {
      c = ((c & 0x07) << 18) | ((p[0] & 0x3F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F);
      p += 3;
    } else if (c >= 0xE0) {
      c = ((c & 0x0F) << 12) | ((p[0] & 0x3F) << 6) | (p[1] & 0x3F);
      p += 2;
    } else if (c >= 0xC0) {
      c = ((c & 0x1F) << 6) | (p[0] & 0x3F);
      p += 1;
    }
    auto unit = [&](uint32_t u) {
      dst.push_back((char)(u & 0xFF));
      dst.push_back((char)(u >> 8));
    };
    if (c >= 0x10000) {
      c -= 0x10000;
      unit(0xD800 + (c >> 10));
      unit(0xDC00 + (c & 0x3FF));
    } else {
      unit(c);
    }
  }
}

void gen_mixed_utf16(const std::string &dir) {
  Out out(dir + "/mixed_utf16.csv");
  Rng r(20240611);  // same seed: the same table as mixed.csv
  std::string head = kMixedHeader;
  for (char &c : head) c = c == ',' ? ';' : c;
  std::string u = "\xFF\xFE";
  put_utf16le(u, head + "\n");
  std::string s;
  for (int64_t i = 1; i <= rows_of(1000000); i++) {
    mixed_row(s, r, i, ';');
    s += "\n";
    if (s.size() > (1u << 15)) {
      put_utf16le(u, s);
      out.put(u);
      s.clear();
      u.clear();
    }
  }
  put_utf16le(u, s);
  out.put(u);
}

void gen_numeric(const std::string &dir) {
  Out out(dir + "/numeric.csv");
  Rng r(77);
  std::string s = "id,count,x,y\n";
  for (int64_t i = 1; i <= rows_of(5000000); i++) {
    append_int(s, i);
    s.push_back(',');
    append_int(s, r.range(-1000000, 1000000));
    s.push_back(',');
    append_fixed(s, r.range(-99999999, 99999999), 4);
    s.push_back(',');
    // Mostly plain decimals, some in exponent form.
    if (r.chance(100000)) {
      append_int(s, r.range(1, 9));
      s += "e";
      append_int(s, r.range(-5, 5));
    } else {
      append_fixed(s, r.range(0, 9999999), 6);
    }
    s.push_back('\n');
    if (s.size() > (1u << 16)) {
      out.put(s);
      s.clear();
    }
  }
  out.put(s);
}

void gen_text50(const std::string &dir) {
  Out out(dir + "/text50.csv");
  Rng r(5050);
  std::string s;
  for (int c = 1; c <= 50; c++) {
    if (c > 1) s.push_back(',');
    char tmp[8];
    std::snprintf(tmp, sizeof tmp, "c%02d", c);
    s += tmp;
  }
  s.push_back('\n');
  for (int64_t i = 0; i < rows_of(200000); i++) {
    for (int c = 0; c < 50; c++) {
      if (c) s.push_back(',');
      int len = (int)r.range(2, 9);
      for (int k = 0; k < len; k++) s.push_back((char)('a' + r.below(26)));
    }
    s.push_back('\n');
    if (s.size() > (1u << 16)) {
      out.put(s);
      s.clear();
    }
  }
  out.put(s);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUTDIR [--divide N] [mixed|mixed_utf16|numeric|text50 ...]\n",
                 argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  std::vector<std::string> which;
  for (int i = 2; i < argc; i++) {
    if (std::strcmp(argv[i], "--divide") == 0 && i + 1 < argc) {
      g_divide = std::strtoll(argv[++i], nullptr, 10);
      if (g_divide < 1) g_divide = 1;
    } else {
      which.push_back(argv[i]);
    }
  }
  if (which.empty()) which = {"mixed", "mixed_utf16", "numeric", "text50"};
  for (const auto &w : which) {
    if (w == "mixed") gen_mixed(dir);
    else if (w == "mixed_utf16") gen_mixed_utf16(dir);
    else if (w == "numeric") gen_numeric(dir);
    else if (w == "text50") gen_text50(dir);
    else {
      std::fprintf(stderr, "unknown data set: %s\n", w.c_str());
      return 2;
    }
  }
  return 0;
}
