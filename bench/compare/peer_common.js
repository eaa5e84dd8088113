// Shared pieces of the Node.js peer runners: options, clock, memory figures
// and the one JSON line each run prints.
'use strict';
const fs = require('fs');

function parseArgs(argv) {
  const o = { encoding: 'utf8', sep: ',', ops: 'load', threads: '2' };
  for (let i = 2; i + 1 < argv.length; i += 2) {
    const k = argv[i].replace(/^--/, '').replace(/-(.)/g, (_, c) => c.toUpperCase());
    o[k] = argv[i + 1];
  }
  o.opList = o.ops.split(',');
  return o;
}

function now() {
  return Number(process.hrtime.bigint()) / 1e9;
}

// A "Vm...:" line of /proc/self/status in KiB, or -1.
function statusKb(key) {
  try {
    const m = fs.readFileSync('/proc/self/status', 'utf8').match(new RegExp('^' + key + ':\\s+(\\d+)', 'm'));
    return m ? Number(m[1]) : -1;
  } catch (e) {
    return -1;
  }
}

// Times fn (sync or async) and records its wall seconds under `op`, and the
// process's CPU seconds (all threads) under res.cpu[op].
async function timed(res, op, fn) {
  const c0 = process.cpuUsage();
  const t0 = now();
  const v = await fn();
  res.times[op] = now() - t0;
  const c = process.cpuUsage(c0);
  (res.cpu = res.cpu || {})[op] = (c.user + c.system) / 1e6;
  return v;
}

// A directory in memory for peers that hand their JSON out through a file.
function scratchDir() {
  return fs.existsSync('/dev/shm') ? '/dev/shm' : require('os').tmpdir();
}

function finish(res) {
  process.stdout.write(JSON.stringify(res) + '\n');
}

function main(fn) {
  fn().catch((e) => {
    process.stderr.write(String(e && e.stack ? e.stack : e) + '\n');
    process.exit(1);
  });
}

module.exports = { parseArgs, now, statusKb, timed, scratchDir, finish, main };
