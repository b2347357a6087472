// chromium.mjs - the headless Chromium that the browser test and
// bench/chromium_probe.mjs play clips in: the system's /usr/bin/chromium,
// driven by the pinned playwright-core, with a profile of its own.
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

// Starts it with a fresh profile folder named from `prefix`; returns
// { browser, userData } (the caller removes userData when done).  Throws as
// the launch does, the profile folder already removed.
export async function launchChromium(chromium, prefix) {
  const userData = mkdtempSync(join(tmpdir(), prefix));
  try {
    const browser = await chromium.launchPersistentContext(userData, {
      executablePath: '/usr/bin/chromium',
      headless: true,
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
             '--disable-background-networking', '--disable-component-update', '--disable-sync',
             '--autoplay-policy=no-user-gesture-required'],
    });
    return { browser, userData };
  } catch (e) {
    rmSync(userData, { recursive: true, force: true });
    throw e;
  }
}
