// Finding, loading and declaring the velmora-csv shared library.
//
// Every foreign function is declared here, once. JSON answers are declared
// as pointers to the library's per-thread result buffer: answer.cjs reads
// them through a view, since an answer may be longer than any string. Short
// texts (messages, the version) are declared `const char *`, copied into a
// string at once.
'use strict';

const fs = require('node:fs');
const path = require('node:path');
const koffi = require('koffi');

const ENV_VAR = 'VELMORA_CSV_LIBRARY';

// Every library has these; the newer ones below are used when present.
const REQUIRED = {
  csv_load_ex_progress:
    'int csv_load_ex_progress(const char *path, int has_header, int delimiter, int encoding, ' +
    'velmora_progress_fn *progress, void *user_data)',
  csv_row_count: 'int csv_row_count(int handle)',
  csv_col_count: 'int csv_col_count(int handle)',
  csv_close: 'void csv_close(int handle)',
  csv_last_error: 'const char *csv_last_error(void)',
  csv_headers: 'const void *csv_headers(int handle)',
  csv_rows: 'const void *csv_rows(int handle, int offset, int limit)',
  csv_select: 'const void *csv_select(int handle, const char *cols)',
  csv_search: 'const void *csv_search(int handle, const char *col, const char *query, int case_insensitive)',
  csv_sort: 'const void *csv_sort(int handle, const char *col, int descending)',
  csv_stats: 'const void *csv_stats(int handle)',
  csv_parse_warnings: 'const void *csv_parse_warnings(int handle)',
  csv_parse_warning_count: 'int csv_parse_warning_count(int handle)',
};

const OPTIONAL = {
  csv_load_encoding:
    'int csv_load_encoding(const char *path, int has_header, int delimiter, const char *encoding, ' +
    'velmora_progress_fn *progress, void *user_data)',
  csv_info: 'const void *csv_info(int handle)',
  csv_version: 'const char *csv_version(void)',
  csv_arrow_stream: 'int csv_arrow_stream(int handle, const char *cols, int flags, void *out)',
};

// The callback type is declared once per koffi instance (main thread and
// each worker have their own).
const PROGRESS_FN = koffi.proto(
  'int velmora_progress_fn(uint64_t done, int64_t total, int64_t rows, void *user_data)',
);

class LibraryNotFoundError extends Error {
  constructor(message) {
    super(message);
    this.name = 'LibraryNotFoundError';
    this.code = 'ERR_VELMORA_LIBRARY';
  }
}

function libraryFileNames() {
  if (process.platform === 'win32') return ['velmora-csv.dll', 'libvelmora-csv.dll'];
  if (process.platform === 'darwin') return ['libvelmora-csv.dylib', 'libvelmora-csv.0.dylib'];
  return ['libvelmora-csv.so', 'libvelmora-csv.so.0'];
}

// Copies shipped inside the package directory: the unversioned name first,
// then the shortest (the soname link).
function packageCandidates(dir) {
  let names;
  try {
    names = fs.readdirSync(dir);
  } catch {
    return [];
  }
  const wanted = names.filter((n) =>
    process.platform === 'win32' ? /^(lib)?velmora-csv\.dll$/i.test(n)
      : process.platform === 'darwin' ? /^libvelmora-csv(\..+)?\.dylib$/.test(n)
        : /^libvelmora-csv\.so(\..+)?$/.test(n));
  wanted.sort((a, b) => a.length - b.length || (a < b ? -1 : 1));
  return wanted.map((n) => path.join(dir, n));
}

// Names the system's loader resolves itself (LD_LIBRARY_PATH, the cache,
// the default directories where `cmake --install` puts the library).
function systemCandidates() {
  if (process.platform === 'win32') return ['velmora-csv.dll'];
  if (process.platform === 'darwin') return ['libvelmora-csv.0.dylib', 'libvelmora-csv.dylib'];
  return ['libvelmora-csv.so.0', 'libvelmora-csv.so'];
}

// The C library's strlen, for the length of an answer: the velmora-csv
// library's own dependencies provide it where symbols are looked up through
// them (ELF, Mach-O); elsewhere the C runtime is loaded by name.
// Library directories of the default install prefixes. `cmake --install`
// puts the library there, but the loader finds it by name only once
// `ldconfig` has run (/usr/local/lib is not searched by default), so these
// are tried by path after the names.
const INSTALL_LIBRARY_DIRS = installLibraryDirs();

function installLibraryDirs() {
  if (process.platform === 'darwin') return ['/usr/local/lib', '/opt/homebrew/lib'];
  if (process.platform === 'win32') return [];
  const triplet = { x64: 'x86_64-linux-gnu', arm64: 'aarch64-linux-gnu', ia32: 'i386-linux-gnu' }[process.arch];
  const dirs = ['/usr/local/lib', '/usr/local/lib64'];
  if (triplet) dirs.push(`/usr/local/lib/${triplet}`);
  return dirs;
}

function declareStrlen(lib) {
  const proto = 'size_t strlen(const void *s)';
  try {
    return lib.func(proto);
  } catch (e) {
    if (process.platform !== 'win32') throw e;
    return koffi.load('ucrtbase.dll').func(proto);
  }
}

function declare(lib, where) {
  const fns = { strlen: declareStrlen(lib) };
  for (const [name, proto] of Object.entries(REQUIRED)) {
    try {
      fns[name] = lib.func(proto);
    } catch {
      throw new LibraryNotFoundError(`${where} is not a usable velmora-csv library: it lacks ${name}`);
    }
  }
  for (const [name, proto] of Object.entries(OPTIONAL)) {
    try {
      fns[name] = lib.func(proto);
    } catch {
      fns[name] = null; // an older library: the calls that need it say so
    }
  }
  return fns;
}

function loadFrom(where) {
  return declare(koffi.load(where), where);
}

// The environment variable when set (and then only that), else a copy beside
// the package, else the system's search path, else the library directories
// of the default install prefixes. Returns {fns, where}.
function openLibrary() {
  const explicit = process.env[ENV_VAR];
  if (explicit) {
    try {
      return { fns: loadFrom(explicit), where: explicit };
    } catch (e) {
      if (e instanceof LibraryNotFoundError) throw e;
      throw new LibraryNotFoundError(
        `cannot load the velmora-csv library named by ${ENV_VAR}=${explicit}: ${e.message}`);
    }
  }
  const tried = [];
  const local = packageCandidates(__dirname);
  if (local.length === 0) {
    tried.push(`no ${libraryFileNames()[0]} in the package directory ${__dirname}`);
  }
  const installed = [];
  for (const dir of INSTALL_LIBRARY_DIRS) {
    for (const name of systemCandidates()) {
      const file = path.join(dir, name);
      if (fs.existsSync(file)) installed.push(file);
    }
  }
  if (installed.length === 0) {
    tried.push(`no ${systemCandidates()[0]} in ${INSTALL_LIBRARY_DIRS.join(', ')}`);
  }
  for (const where of [...local, ...systemCandidates(), ...installed]) {
    try {
      return { fns: loadFrom(where), where };
    } catch (e) {
      if (e instanceof LibraryNotFoundError) throw e;
      tried.push(`${where}: ${e.message}`);
    }
  }
  throw new LibraryNotFoundError(
    `cannot find the velmora-csv shared library (${ENV_VAR} is not set); tried: ` +
    tried.join('; ') + `. Set ${ENV_VAR} to the path of ${libraryFileNames()[0]}.`);
}

let loaded = null;

// The declared functions, loading the library on first use.
function library() {
  if (loaded === null) loaded = openLibrary();
  return loaded.fns;
}

// Where the library in use was loaded from (loading it if needed).
function libraryPath() {
  library();
  return loaded.where;
}

// Used by the load worker: the same file as the main thread, so that both
// threads reach one registry of tables.
function libraryAt(where) {
  if (loaded === null) loaded = { fns: loadFrom(where), where };
  return loaded.fns;
}

module.exports = { ENV_VAR, INSTALL_LIBRARY_DIRS, PROGRESS_FN, LibraryNotFoundError, library, libraryPath, libraryAt };
