// Finding the shared library, and the two entry points of the package.
import test from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { createRequire } from 'node:module';
import { fileURLToPath } from 'node:url';
import * as esm from '../index.mjs';
import { CITIES, tempPath } from './helpers.mjs';

const require = createRequire(import.meta.url);
const pkgDir = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
const library = esm.libraryPath();

// Runs a short CommonJS program in a fresh process with the given environment.
function run(code, env, cwd = pkgDir) {
  return spawnSync(process.execPath, ['-e', code], { cwd, env, encoding: 'utf8' });
}

function envWithout(...names) {
  const env = { ...process.env };
  for (const n of names) delete env[n];
  return env;
}

test('the CommonJS and ES module entries give the same objects', () => {
  const cjs = require('../index.cjs');
  for (const name of ['openTable', 'openTableAsync', 'Table', 'VelmoraError', 'CancelledError', 'AbortError',
    'LibraryNotFoundError', 'libraryPath', 'libraryVersion']) {
    assert.equal(typeof cjs[name], 'function', name);
    assert.equal(esm[name], cjs[name], name);
  }
  assert.equal(esm.default, cjs);
  // The package name resolves to both from outside the package.
  const pkg = JSON.parse(fs.readFileSync(path.join(pkgDir, 'package.json'), 'utf8'));
  assert.equal(pkg.exports['.'].require, './index.cjs');
  assert.equal(pkg.exports['.'].import, './index.mjs');
  assert.ok(fs.existsSync(path.join(pkgDir, pkg.exports['.'].types)));
});

test('a library named by VELMORA_CSV_LIBRARY that does not load: one message naming it', () => {
  const missing = tempPath('nowhere/libvelmora-csv.so');
  const r = run("try { require('./index.cjs').openTable('x') } catch (e) { console.log(e.name + '|' + e.message) }",
    { ...process.env, VELMORA_CSV_LIBRARY: missing });
  const [name, message] = r.stdout.trim().split('|');
  assert.equal(name, 'LibraryNotFoundError');
  assert.ok(message.startsWith(`cannot load the velmora-csv library named by VELMORA_CSV_LIBRARY=${missing}: `), message);
});

test('a shared library that is not velmora-csv is refused by name', () => {
  const r = run("try { require('./index.cjs').libraryPath() } catch (e) { console.log(e.name + '|' + e.message) }",
    { ...process.env, VELMORA_CSV_LIBRARY: 'libc.so.6' });
  assert.equal(r.stdout.trim(),
    'LibraryNotFoundError|libc.so.6 is not a usable velmora-csv library: it lacks csv_load_ex_progress');
});

test('without VELMORA_CSV_LIBRARY: beside the package, then the system path', () => {
  // A copy of the package with the library beside it.
  const copy = tempPath('pkg-copy');
  fs.mkdirSync(copy);
  const pkg = JSON.parse(fs.readFileSync(path.join(pkgDir, 'package.json'), 'utf8'));
  for (const f of pkg.files.filter((n) => n.endsWith('.cjs'))) {
    fs.copyFileSync(path.join(pkgDir, f), path.join(copy, f));
  }
  fs.symlinkSync(path.join(pkgDir, 'node_modules'), path.join(copy, 'node_modules'));
  fs.copyFileSync(library, path.join(copy, 'libvelmora-csv.so'));
  const env = envWithout('VELMORA_CSV_LIBRARY');
  const show = `const v = require('./index.cjs'); const t = v.openTable(${JSON.stringify(CITIES)}); ` +
    'console.log(v.libraryPath() + "|" + t.rowCount)';
  const beside = run(show, env, copy);
  assert.equal(beside.stdout.trim(), `${path.join(copy, 'libvelmora-csv.so')}|7`, beside.stderr);

  // Nothing beside the package: the loader's path (LD_LIBRARY_PATH here).
  fs.rmSync(path.join(copy, 'libvelmora-csv.so'));
  const system = run(show, { ...env, LD_LIBRARY_PATH: path.dirname(library) }, copy);
  assert.equal(system.stdout.trim(), 'libvelmora-csv.so.0|7', system.stderr);

  // Installed under a prefix whose library directory the loader does not
  // search until ldconfig runs: found there by path.
  const libDir = tempPath('prefix/lib');
  fs.mkdirSync(libDir, { recursive: true });
  fs.copyFileSync(library, path.join(libDir, 'libvelmora-csv.so.0'));
  const withDirs = (dirs) => `require('./native.cjs').INSTALL_LIBRARY_DIRS.splice(0, Infinity, ...${JSON.stringify(dirs)}); `;
  const installed = run(withDirs([tempPath('prefix/none'), libDir]) + show, { ...env, LD_LIBRARY_PATH: '' }, copy);
  if (!installed.stdout.startsWith('libvelmora-csv.so')) { // unless the loader knows one already
    assert.equal(installed.stdout.trim(), `${path.join(libDir, 'libvelmora-csv.so.0')}|7`, installed.stderr);
  }

  // Nowhere: one message that says where it looked.
  const none = run(withDirs([tempPath('prefix/none')]) +
    "try { require('./index.cjs').libraryPath() } catch (e) { console.log(e.name + '|' + e.message) }",
    { ...env, LD_LIBRARY_PATH: '' }, copy);
  const out = none.stdout.trim();
  if (out.startsWith('LibraryNotFoundError|')) {
    assert.match(out, /cannot find the velmora-csv shared library \(VELMORA_CSV_LIBRARY is not set\); tried: /);
    assert.ok(out.includes(`no libvelmora-csv.so in the package directory ${copy}`), out);
    assert.ok(out.includes('libvelmora-csv.so.0: '), out);
    assert.ok(out.includes(`no libvelmora-csv.so.0 in ${tempPath('prefix/none')}`), out);
    assert.ok(out.includes('Set VELMORA_CSV_LIBRARY to the path of libvelmora-csv.so.'), out);
  } else {
    // The library is installed system-wide on this machine.
    assert.match(out, /libvelmora-csv\.so/);
  }
});

test('libraryVersion is the library text, or null for a library without it', () => {
  const v = esm.libraryVersion();
  assert.ok(v === null || /^\d+\.\d+\.\d+/.test(v), String(v));
});

test('the example of README.md is example.mjs and prints what the README shows', () => {
  const readme = fs.readFileSync(path.join(pkgDir, 'README.md'), 'utf8');
  const blocks = [...readme.matchAll(/```(\w*)\n(.*?)```/gs)];
  const code = blocks.find((b) => b[1] === 'js')[2];
  assert.equal(fs.readFileSync(path.join(pkgDir, 'example.mjs'), 'utf8'), code);
  const printed = blocks.find((b) => b[1] === '' && b[2].startsWith('7 5 '))[2];
  const top = path.resolve(pkgDir, '..');
  const r = spawnSync(process.execPath, [path.join(pkgDir, 'example.mjs')], { cwd: top, encoding: 'utf8' });
  assert.equal(r.stderr, '');
  assert.equal(r.stdout, printed);
});
