// The ES module entry: the same objects as the CommonJS entry.
import velmora from './index.cjs';

export const {
  openTable,
  openTableAsync,
  Table,
  VelmoraError,
  CancelledError,
  AbortError,
  LibraryNotFoundError,
  libraryPath,
  libraryVersion,
  ENV_VAR,
  INVALID_UTF8_CODE,
} = velmora;
export default velmora;
