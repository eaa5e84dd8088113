/*
 * hello: the smallest useful host of velmora-csv.
 *
 * Loads the file named on the command line (delimiter and encoding
 * detected), prints its size and warnings, its column names and its first
 * rows, and closes it.
 *
 *   hello examples/data/cities.csv
 */
#include <stdio.h>

#include <velmora_csv.h>

static int fail(const char *what) {
    fprintf(stderr, "hello: %s: %s\n", what, csv_last_error());
    return 1;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: hello FILE\n");
        return 2;
    }
    int table = csv_load_ex(argv[1], 1, 0, 0);
    if (table < 0) return fail(argv[1]);

    printf("%d rows, %d columns, %d warnings\n", csv_row_count(table),
           csv_col_count(table), csv_parse_warning_count(table));

    /* Each JSON answer stays valid until this thread's next JSON call. */
    const char *headers = csv_headers(table);
    if (headers == NULL) {
        csv_close(table);
        return fail("headers");
    }
    printf("headers: %s\n", headers);

    const char *rows = csv_rows(table, 0, 2);
    if (rows == NULL) {
        csv_close(table);
        return fail("rows");
    }
    printf("first rows: %s\n", rows);

    csv_close(table);
    return 0;
}
