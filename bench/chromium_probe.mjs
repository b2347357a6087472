// Plays MP4 files in headless Chromium, one after another in one browser, and
// prints one JSON line per file: what Chromium's own demuxer and decoders make
// of it.  bench/crash_safe_peers.sh asks it about the files a kill -9 leaves.
//
// usage: node chromium_probe.mjs [--rate R] [--timeout S] FILE...
//   --rate R      playbackRate (default 16, Chromium's maximum): a 60-second
//                 file plays through in about 4 s instead of 60
//   --timeout S   give up on one file after S seconds (default 30)
// Each line: {"file", "loaded", "ended", "error", "duration", "played",
// "decoded", "corrupted"}: "loaded" the metadata was read; "ended" it played
// to its end; "played" the media time reached (currentTime at the end);
// "decoded" and "corrupted" from getVideoPlaybackQuality().  Pictures dropped
// at 16x are not counted against a file.
// Exit status: 0 with one line per file, 77 when Chromium or playwright-core
// (tests/browser/setup.sh installs them) cannot start, 1 on a harness error.
import { createServer } from 'node:http';
import { launchChromium } from '../tests/browser/chromium.mjs';
import { openSync, readSync, closeSync, fstatSync, rmSync } from 'node:fs';
import { dirname, resolve } from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

const opts = { rate: 16, timeout: 30, files: [] };
for (let i = 2; i < process.argv.length; i++) {
  const a = process.argv[i];
  if (a === '--rate') opts.rate = Number(process.argv[++i]);
  else if (a === '--timeout') opts.timeout = Number(process.argv[++i]);
  else if (a.startsWith('--')) { console.error('usage: chromium_probe.mjs [--rate R] [--timeout S] FILE...'); process.exit(1); }
  else opts.files.push(a);
}
if (!opts.files.length || !(opts.rate > 0) || !(opts.timeout > 0)) {
  console.error('usage: chromium_probe.mjs [--rate R] [--timeout S] FILE...');
  process.exit(1);
}

// The browser test's pinned playwright-core, which drives the system's Chromium.
const here = dirname(fileURLToPath(import.meta.url));
const playwright = resolve(here, '../tests/browser/node_modules/playwright-core/index.mjs');
let chromium;
try {
  ({ chromium } = await import(pathToFileURL(playwright).href));
} catch (e) {
  console.log(`SKIP: playwright-core is not installed (run tests/browser/setup.sh): ${e.message.split('\n')[0]}`);
  process.exit(77);
}

// Files are served with byte ranges, as a web server in front of a clip
// folder would: /clip/N is the N-th file, read at each request (a file may be
// any size, the server holds no copy).
const server = createServer((req, res) => {
  if (req.url === '/') {
    res.writeHead(200, { 'Content-Type': 'text/html' });
    return res.end('<!doctype html><meta charset="utf-8"><video id="v" muted playsinline></video>');
  }
  const m = /^\/clip\/(\d+)$/.exec(req.url);
  const path = m && opts.files[Number(m[1])];
  if (!path) { res.writeHead(404); return res.end(); }
  let fd;
  try { fd = openSync(path, 'r'); } catch { res.writeHead(404); return res.end(); }
  const size = fstatSync(fd).size;
  let start = 0, end = size - 1;
  const r = /^bytes=(\d*)-(\d*)$/.exec(req.headers.range || '');
  if (r && (r[1] || r[2])) {
    if (r[1]) { start = Number(r[1]); if (r[2]) end = Math.min(end, Number(r[2])); }
    else start = Math.max(0, size - Number(r[2]));
    if (start > end) {
      closeSync(fd);
      res.writeHead(416, { 'Content-Range': `bytes */${size}` });
      return res.end();
    }
    res.writeHead(206, { 'Content-Type': 'video/mp4', 'Accept-Ranges': 'bytes',
      'Content-Length': end - start + 1, 'Content-Range': `bytes ${start}-${end}/${size}` });
  } else {
    res.writeHead(200, { 'Content-Type': 'video/mp4', 'Accept-Ranges': 'bytes', 'Content-Length': size });
  }
  const body = Buffer.alloc(Math.max(0, end - start + 1));
  if (body.length) readSync(fd, body, 0, body.length, start);
  closeSync(fd);
  res.end(body);
});
await new Promise((r) => server.listen(0, '127.0.0.1', r));
const base = `http://127.0.0.1:${server.address().port}`;

// Runs in the page: loads the file, plays it at the given rate to its end, an
// error or the timeout.
async function watch({ url, rate, timeoutMs }) {
  const v = document.getElementById('v');
  v.removeAttribute('src');
  v.load();
  const r = { loaded: false, ended: false, error: null };
  const outcome = await new Promise((done) => {
    const timer = setTimeout(() => done('timeout'), timeoutMs);
    v.onloadedmetadata = () => {
      r.loaded = true;
      v.playbackRate = rate;
      v.play().catch(() => {});
    };
    v.onended = () => { clearTimeout(timer); done('ended'); };
    v.onerror = () => { clearTimeout(timer); done('error'); };
    v.src = url;
  });
  v.onloadedmetadata = v.onended = v.onerror = null;
  r.ended = outcome === 'ended';
  if (v.error) r.error = `${v.error.code}: ${v.error.message}`;
  else if (outcome === 'timeout') r.error = 'timeout';
  r.duration = Number.isFinite(v.duration) ? v.duration : null;
  r.played = v.currentTime;
  const q = v.getVideoPlaybackQuality();
  r.decoded = q.totalVideoFrames;
  r.corrupted = q.corruptedVideoFrames;
  v.pause();
  return r;
}

let browser, userData;
try {
  ({ browser, userData } = await launchChromium(chromium, 'chromium_probe.'));
} catch (e) {
  server.close();
  console.log(`SKIP: Chromium cannot start: ${e.message.split('\n')[0]}`);
  process.exit(77);
}

let status = 0;
try {
  const tab = browser.pages()[0] ?? await browser.newPage();
  await tab.goto(`${base}/`);
  for (let i = 0; i < opts.files.length; i++) {
    const seen = await tab.evaluate(watch, { url: `/clip/${i}`, rate: opts.rate, timeoutMs: opts.timeout * 1000 });
    console.log(JSON.stringify({ file: opts.files[i], ...seen }));
  }
} catch (e) {
  console.error(`chromium_probe: ${e.message.split('\n')[0]}`);
  status = 1;
} finally {
  await browser.close().catch(() => {});
  server.close();
  server.closeAllConnections();
  rmSync(userData, { recursive: true, force: true });
}
process.exit(status);
