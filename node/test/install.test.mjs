// Installing the package into another project the way the README says: a
// tarball from `npm pack`, which stays installed through later plain
// `npm install` runs (a linked directory does not). koffi comes from npm's
// cache, where `npm ci` of this package put it.
import test from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { CITIES, tempPath } from './helpers.mjs';

const pkgDir = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
const npm = process.platform === 'win32' ? 'npm.cmd' : 'npm';
const QUIET = ['--prefer-offline', '--no-audit', '--no-fund', '--loglevel=error'];
const hasNpm = spawnSync(npm, ['--version'], { encoding: 'utf8' }).status === 0;

test('a packed tarball installs, and stays installed through a later npm install', { skip: !hasNpm && 'no npm', timeout: 300_000 }, () => {
  const work = tempPath('npm-project');
  fs.mkdirSync(work);
  const packed = execFileSync(npm, ['pack', '--pack-destination', work, '--loglevel=error'], { cwd: pkgDir, encoding: 'utf8' });
  const tarball = path.join(work, packed.trim().split('\n').at(-1));
  assert.ok(fs.existsSync(tarball), packed);

  const project = path.join(work, 'app');
  fs.mkdirSync(project);
  fs.writeFileSync(path.join(project, 'package.json'), JSON.stringify({ name: 'app', version: '1.0.0', private: true }));
  execFileSync(npm, ['install', ...QUIET, tarball], { cwd: project, encoding: 'utf8' });
  execFileSync(npm, ['install', ...QUIET], { cwd: project, encoding: 'utf8' });

  const installed = path.join(project, 'node_modules', 'velmora-csv');
  assert.ok(!fs.lstatSync(installed).isSymbolicLink());
  assert.ok(fs.existsSync(path.join(project, 'node_modules', 'koffi', 'package.json')));
  const code = `const v = require('velmora-csv'); const t = v.openTable(${JSON.stringify(CITIES)}); ` +
    "import('velmora-csv').then((m) => console.log(t.rowCount, m.openTable === v.openTable));";
  const r = spawnSync(process.execPath, ['-e', code], { cwd: project, encoding: 'utf8' });
  assert.equal(r.stdout.trim(), '7 true', r.stderr);
});
