// Column selection: turns a comma-separated list of column names or numbers
// into column indices. The list parser itself lives with the other cell
// helpers; this module keeps the query's own entry under its own name.
#include "csv_internal.h"

int csv_select_indices(const csv_table *t, const char *list, int32_t **out_cols,
                       int32_t *out_n) {
    return csv_parse_col_list(t, list, out_cols, out_n);
}
