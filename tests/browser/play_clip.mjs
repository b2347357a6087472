// Plays one MP4 clip in headless Chromium, served from 127.0.0.1, and prints
// one JSON line of what a viewer would have seen.
//
// usage: node play_clip.mjs CLIP [--no-ranges --rate BYTES_PER_S] [--timeout S]
//   default       the server honours Range requests (206, Accept-Ranges), as
//                 any web server in front of the recordings would
//   --no-ranges   the server ignores Range, answers 200 with the whole file and
//                 no Accept-Ranges, sent at --rate bytes per second (default
//                 50000): a slow link to a plain file server.  The time each
//                 byte count went out is logged, so the report says how much of
//                 the file had been sent when the picture started moving.
//   --timeout S   give up on playback after S seconds (default 30)
// Exit status: 0 with the JSON printed (whatever it says), 77 when Chromium
// (or playwright-core) is not there to start, 1 when the harness itself failed.
import { createServer } from 'node:http';
import { launchChromium } from './chromium.mjs';
import { readFileSync, rmSync } from 'node:fs';

const usage = 'usage: play_clip.mjs CLIP [--no-ranges --rate BYTES_PER_S] [--timeout S]';
const opts = { clip: null, ranges: true, rate: 50000, timeout: 30 };
for (let i = 2; i < process.argv.length; i++) {
  const a = process.argv[i];
  if (a === '--no-ranges') opts.ranges = false;
  else if (a === '--rate') opts.rate = Number(process.argv[++i]);
  else if (a === '--timeout') opts.timeout = Number(process.argv[++i]);
  else if (!a.startsWith('--') && !opts.clip) opts.clip = a;
  else { console.error(usage); process.exit(1); }
}
if (!opts.clip || !(opts.rate > 0) || !(opts.timeout > 0)) { console.error(usage); process.exit(1); }

const skip = (why) => { console.log(`SKIP: ${why}`); process.exit(77); };
const fail = (why) => { console.error(`play_clip: ${why}`); process.exit(1); };

let chromium;
try {
  ({ chromium } = await import('playwright-core'));
} catch (e) {
  skip(`playwright-core is not installed (run tests/browser/setup.sh): ${e.message.split('\n')[0]}`);
}

let clip;
try { clip = readFileSync(opts.clip); } catch (e) { fail(e.message); }
const page = `<!doctype html><meta charset="utf-8"><title>clip</title>
<video id="v" muted playsinline style="width:640px"></video>`;

// Server side: when the clip was first asked for, and how many of its bytes
// had gone out at each moment (cumulative over every request).
let requestedAt = null, bytesSent = 0, clipRequests = 0;
const sendLog = [[0, 0]];   // [Date.now(), bytes sent so far], in time order
const sent = (n) => { bytesSent += n; sendLog.push([Date.now(), bytesSent]); };

function serveRanges(req, res) {
  const m = /^bytes=(\d*)-(\d*)$/.exec(req.headers.range || '');
  let start = 0, end = clip.length - 1;
  if (m && (m[1] || m[2])) {
    if (m[1]) { start = Number(m[1]); if (m[2]) end = Math.min(end, Number(m[2])); }
    else start = Math.max(0, clip.length - Number(m[2]));
    if (start > end) {
      res.writeHead(416, { 'Content-Range': `bytes */${clip.length}` });
      return res.end();
    }
    res.writeHead(206, { 'Content-Type': 'video/mp4', 'Accept-Ranges': 'bytes',
      'Content-Length': end - start + 1, 'Content-Range': `bytes ${start}-${end}/${clip.length}` });
  } else {
    res.writeHead(200, { 'Content-Type': 'video/mp4', 'Accept-Ranges': 'bytes', 'Content-Length': clip.length });
  }
  const body = clip.subarray(start, end + 1);
  res.end(body, () => sent(body.length));
}

// Whole file whatever the Range header says, paced to opts.rate from the
// moment of the request; waits on the socket when the browser reads slower.
async function serveThrottled(req, res) {
  res.writeHead(200, { 'Content-Type': 'video/mp4', 'Content-Length': clip.length });
  const t0 = Date.now();
  let off = 0, closed = false;
  res.on('close', () => { closed = true; });
  while (off < clip.length && !closed) {
    const due = Math.min(clip.length, Math.floor(opts.rate * (Date.now() - t0) / 1000));
    if (due > off) {
      const ok = res.write(clip.subarray(off, due));
      sent(due - off);
      off = due;
      if (!ok) await new Promise((r) => res.once('drain', r).once('close', r));
    }
    await new Promise((r) => setTimeout(r, 20));
  }
  res.end();
}

const server = createServer((req, res) => {
  if (req.url === '/') {
    res.writeHead(200, { 'Content-Type': 'text/html' });
    return res.end(page);
  }
  if (req.url !== '/clip.mp4') { res.writeHead(404); return res.end(); }
  clipRequests++;
  requestedAt ??= Date.now();
  return opts.ranges ? serveRanges(req, res) : serveThrottled(req, res);
});
await new Promise((r) => server.listen(0, '127.0.0.1', r));
const base = `http://127.0.0.1:${server.address().port}`;

// Runs in the page: plays the clip to its end, an error or the timeout, and
// returns what was seen.  Times are Date.now(), the same clock as the server's.
async function watch(timeoutMs) {
  const v = document.getElementById('v');
  const r = { ended: false, timedOut: false, playingAt: null, waiting: 0, resizes: [],
              callbacks: 0, presentedFrames: 0, frameSizes: {}, error: null };
  const onFrame = (_now, m) => {
    r.callbacks++;
    r.presentedFrames = m.presentedFrames;
    const size = `${m.width}x${m.height}`;
    r.frameSizes[size] = (r.frameSizes[size] || 0) + 1;
    v.requestVideoFrameCallback(onFrame);
  };
  v.requestVideoFrameCallback(onFrame);
  v.addEventListener('playing', () => { r.playingAt ??= Date.now(); });
  v.addEventListener('waiting', () => { r.waiting++; });
  v.addEventListener('resize', () => { r.resizes.push(`${v.videoWidth}x${v.videoHeight}`); });
  const outcome = await new Promise((resolve) => {
    v.addEventListener('ended', () => resolve('ended'));
    v.addEventListener('error', () => resolve('error'));
    setTimeout(() => resolve('timeout'), timeoutMs);
    v.src = '/clip.mp4';
    v.play().catch(() => {});   // a refused play() shows up as the error event or the timeout
  });
  // The last picture's callback may run just after 'ended'.
  await new Promise((res) => setTimeout(res, 300));
  r.ended = outcome === 'ended';
  r.timedOut = outcome === 'timeout';
  if (v.error) r.error = { code: v.error.code, message: v.error.message };
  r.duration = v.duration;
  r.currentTime = v.currentTime;
  const q = v.getVideoPlaybackQuality();
  r.quality = { total: q.totalVideoFrames, dropped: q.droppedVideoFrames, corrupted: q.corruptedVideoFrames };
  return r;
}

let browser, userData;
try {
  ({ browser, userData } = await launchChromium(chromium, 'play_clip_profile.'));
} catch (e) {
  server.close();
  skip(`Chromium cannot start: ${e.message.split('\n')[0]}`);
}

let report, harnessError = null;
try {
  const tab = browser.pages()[0] ?? await browser.newPage();
  // Chromium's media log carries the pipeline's own error names
  // (PIPELINE_ERROR_DECODE and kin), which video.error only sometimes repeats.
  const mediaErrors = [];
  const cdp = await browser.newCDPSession(tab);
  cdp.on('Media.playerErrorsRaised', ({ errors }) => {
    for (const e of errors) mediaErrors.push(`${e.errorType}:${e.code}`);
  });
  cdp.on('Media.playerMessagesLogged', ({ messages }) => {
    for (const m of messages) if (m.level === 'error') mediaErrors.push(m.message);
  });
  await cdp.send('Media.enable');
  await tab.goto(`${base}/`);
  const seen = await Promise.race([
    tab.evaluate(watch, opts.timeout * 1000),
    new Promise((_, rej) => setTimeout(() => rej(new Error('page did not answer')), opts.timeout * 1000 + 15000)),
  ]);
  // Chromium batches its media log events: give them a moment to arrive.
  for (let i = 0; seen.error && !mediaErrors.length && i < 30; i++) await new Promise((r) => setTimeout(r, 100));
  const sizes = [...new Set([...seen.resizes, ...Object.keys(seen.frameSizes)])];
  report = {
    ended: seen.ended, timedOut: seen.timedOut,
    duration: seen.duration, currentTime: seen.currentTime,
    presented: seen.callbacks, presentedFrames: seen.presentedFrames,
    totalVideoFrames: seen.quality.total, droppedVideoFrames: seen.quality.dropped,
    corruptedVideoFrames: seen.quality.corrupted,
    sizes, frameSizes: seen.frameSizes, waiting: seen.waiting,
    error: seen.error || mediaErrors.length ? { ...seen.error, media: [...new Set(mediaErrors)] } : null,
    startedAfterMs: seen.playingAt && requestedAt ? seen.playingAt - requestedAt : null,
    clipRequests,
  };
  if (!opts.ranges) {
    const before = sendLog.filter(([t]) => seen.playingAt !== null && t <= seen.playingAt);
    report.bytesSentAtStart = before.length ? before[before.length - 1][1] : null;
    report.totalBytes = clip.length;
    report.rate = opts.rate;
  }
} catch (e) {
  harnessError = e.message.split('\n')[0];
} finally {
  await browser.close().catch(() => {});
  server.close();
  server.closeAllConnections();
  rmSync(userData, { recursive: true, force: true });
}
if (harnessError) fail(harnessError);
console.log(JSON.stringify(report));
process.exit(0);
