// Type declarations of the velmora-csv package (both entries export these).

declare global {
  // Declared the way runtimes that have it declare it, so that `using` type-
  // checks where the compiler's own library lacks it too.
  interface SymbolConstructor {
    readonly dispose: unique symbol;
  }
}

/** A row: header name to cell text. */
export type Row = Record<string, string>;
/** A row as [name, value] pairs in column order (repeated names, or `pairs: true`). */
export type PairRow = Array<[string, string]>;

/** A column: its header name, or its 1-based position. */
export type Column = string | number;

export interface RawOption {
  /** Return the library's JSON text unchanged instead of parsed objects. */
  raw?: boolean;
}

export interface RowsOptions extends RawOption {
  /**
   * Every row as [name, value] pairs. Rows are pairs anyway when the names of
   * the answer's columns repeat, since an object would drop values.
   */
  pairs?: boolean;
}

/** Called with bytes of decoded input consumed, their total (-1 while unknown), rows so far. */
export type ProgressCallback = (done: number, total: number, rows: number) => unknown;

export interface OpenOptions {
  /** The first record names the columns (default true); else they are "1", "2", ... */
  header?: boolean;
  /**
   * 'auto' (default) detects comma, tab, semicolon or pipe; else one ASCII
   * character, 'tab' | 'comma' | 'semicolon' | 'pipe', or a byte value 1..255.
   */
  delimiter?: 'auto' | ',' | '\t' | ';' | '|' | 'tab' | 'comma' | 'semicolon' | 'pipe' | (string & {}) | number;
  /**
   * 'auto' (default) detects UTF-8 or UTF-16; 'utf-8' uses the bytes as they are;
   * 'utf-16le', 'utf-16be'; any other name the library's converter knows
   * ('windows-1252', 'shift_jis', ...).
   */
  encoding?: 'auto' | 'utf-8' | 'utf-16le' | 'utf-16be' | (string & {});
  /** Progress of the load; returning false cancels it (CancelledError). */
  onProgress?: ProgressCallback;
}

export interface OpenAsyncOptions extends OpenOptions {
  /**
   * Cancels the load: the promise rejects at once with an AbortError whose
   * cause is the signal's reason.
   */
  signal?: AbortSignal;
}

interface ColumnStatsBase {
  name: string;
  /** Non-empty cells. */
  count: number;
  /** Empty cells. */
  nulls: number;
  unique: number;
}

/**
 * A column whose non-empty cells are all numbers. min, max and mean are null
 * when JSON has no number for them: cells such as 'inf' or 'nan', or a sum
 * past the largest double.
 */
export interface NumericColumnStats extends ColumnStatsBase {
  numeric: true;
  min: number | null;
  max: number | null;
  mean: number | null;
}

/** A column with some text that is not a number: no min, max or mean. */
export interface TextColumnStats extends ColumnStatsBase {
  numeric: false;
  min?: undefined;
  max?: undefined;
  mean?: undefined;
}

export type ColumnStats = NumericColumnStats | TextColumnStats;

export interface Stats {
  row_count: number;
  col_count: number;
  columns: ColumnStats[];
}

export interface WarningSample {
  kind: 'ragged' | 'blank' | 'unterminated_quote' | 'truncated_utf16';
  row: number;
  expected: number;
  actual: number;
}

export interface Warnings {
  count: number;
  ragged: number;
  blank: number;
  unterminated_quote: boolean;
  truncated_utf16: boolean;
  expected_cols: number;
  unterminated_row?: number;
  first: WarningSample | null;
  samples: WarningSample[];
}

export interface LoadInfo {
  encoding: string;
  bom: boolean;
  delimiter: string;
  encoding_detected: boolean;
  delimiter_detected: boolean;
  compression: 'none' | 'gzip';
  file_size: number;
  rows: number;
  columns: number;
  warnings: number;
  replaced_bytes: number;
  /**
   * Bytes of text read as UTF-8 (detected, or {encoding: 'utf-8'}) that are
   * not valid UTF-8, each read as its Latin-1 character; 0 for decoded text.
   * Non-zero makes openTable emit one process warning (code
   * 'VELMORA_CSV_INVALID_UTF8'): the file is likely in another encoding.
   */
  invalid_utf8_bytes: number;
}

type Answer<T, O> = O extends { raw: true } ? string : T;
// Rows are PairRow too when the answer's column names repeat; pass
// {pairs: true} for such files to have that in the type.
type RowsAnswer<O> = O extends { raw: true } ? string : O extends { pairs: true } ? PairRow[] : Row[];

/** An open table. Every method is synchronous and runs on the calling thread. */
export declare class Table {
  private constructor();
  /** The path the table was loaded from. */
  readonly path: string;
  readonly closed: boolean;
  /** Rows (header excluded), capped at 2147483647. */
  readonly rowCount: number;
  readonly columnCount: number;
  /** Parse warnings, capped at 2147483647. */
  readonly warningCount: number;
  headers<O extends RawOption = {}>(options?: O): Answer<string[], O>;
  rows<O extends RowsOptions & { offset?: number; limit?: number } = {}>(options?: O): RowsAnswer<O>;
  select<O extends RowsOptions = {}>(columns: Column[] | string, options?: O): RowsAnswer<O>;
  search<O extends RowsOptions & { ignoreCase?: boolean } = {}>(column: Column, text: string, options?: O): RowsAnswer<O>;
  sort<O extends RowsOptions & { descending?: boolean } = {}>(column: Column, options?: O): RowsAnswer<O>;
  stats<O extends RawOption = {}>(options?: O): Answer<Stats, O>;
  warnings<O extends RawOption = {}>(options?: O): Answer<Warnings, O>;
  info<O extends RawOption = {}>(options?: O): Answer<LoadInfo, O>;
  /**
   * One column, read through the library's Arrow export. A numeric column
   * (every non-empty cell a number, as in stats()) is a Float64Array, its
   * empty cells NaN; a column of 64-bit integers with no empty cell is a
   * BigInt64Array (with an empty cell it is a Float64Array with NaN there,
   * integers beyond 2^53 rounded). Any other column is its cells' text, an
   * empty cell being ''. Throws VelmoraError for an unknown column
   * ("unknown column: <name>") or a closed table.
   */
  column(column: Column): Float64Array | BigInt64Array | string[];
  /** Frees the table; closing a closed table does nothing. */
  close(): void;
  [Symbol.dispose](): void;
  /**
   * Every row, fetched a page at a time. Rows are PairRow when the table's
   * header names repeat.
   */
  [Symbol.iterator](): IterableIterator<Row>;
}

/** A failure reported by the library; `message` is the library's message. */
export declare class VelmoraError extends Error {
  /** 'ENOENT', 'EACCES', ... when a file could not be opened; 'ABORT_ERR' when cancelled. */
  code?: string;
  /** The path of a load that failed. */
  path?: string;
}

/** The load was cancelled by onProgress returning false, or by the signal. */
export declare class CancelledError extends VelmoraError {
  code: 'ABORT_ERR';
}

/** The signal of openTableAsync fired; `cause` is the signal's reason. */
export declare class AbortError extends CancelledError {
  name: 'AbortError';
}

/** The shared library could not be found or is not velmora-csv. */
export declare class LibraryNotFoundError extends Error {
  code: 'ERR_VELMORA_LIBRARY';
}

/** Loads the file into memory on the calling thread. */
export declare function openTable(path: string | Uint8Array | URL, options?: OpenOptions): Table;
/** Loads the file on a load thread (kept between loads); onProgress still runs on the calling thread. */
export declare function openTableAsync(path: string | Uint8Array | URL, options?: OpenAsyncOptions): Promise<Table>;
/** Where the library in use was loaded from (loading it if needed). */
export declare function libraryPath(): string;
/** The library's version text, or null for a library without one. */
export declare function libraryVersion(): string | null;
export declare const ENV_VAR: 'VELMORA_CSV_LIBRARY';
/** The code of the process warning for a load whose text is not valid UTF-8. */
export declare const INVALID_UTF8_CODE: 'VELMORA_CSV_INVALID_UTF8';

declare const velmora: {
  openTable: typeof openTable;
  openTableAsync: typeof openTableAsync;
  Table: typeof Table;
  VelmoraError: typeof VelmoraError;
  CancelledError: typeof CancelledError;
  AbortError: typeof AbortError;
  LibraryNotFoundError: typeof LibraryNotFoundError;
  libraryPath: typeof libraryPath;
  libraryVersion: typeof libraryVersion;
  ENV_VAR: typeof ENV_VAR;
  INVALID_UTF8_CODE: typeof INVALID_UTF8_CODE;
};
export default velmora;
