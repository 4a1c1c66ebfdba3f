// hvdiag serve in Debian's chromium driven by playwright-core, against a real tarnhost and hvdiag.exe
// under Wine: one flow, as a person uses the page. Usage: node viewer_test.js WINE TARNHOST BIN_DIR OUT_DIR
'use strict';
const { spawn, execFileSync } = require('child_process');
const fs = require('fs');
const path = require('path');
const { chromium } = require('playwright-core');

const [wine, tarnhost, binDir, outDir] = process.argv.slice(2);
const kProduct = 'HKLM\\Software\\Corvala Software\\Halvern Diagnostics';
const work = fs.mkdtempSync(path.join(process.env.TMPDIR || '/tmp', 'viewer-'));
const wineRun = (...args) => execFileSync(wine, args, { stdio: ['ignore', 'pipe', 'pipe'] }).toString();
const hvdiag = (...args) => wineRun(path.join(binDir, 'hvdiag.exe'), ...args);
const cleanup = [];

const check = (condition, what) => { if (!condition) throw new Error(`FAILED: ${what}`); };

async function until(what, probe, ms = 15000) {
  for (const end = Date.now() + ms; Date.now() < end; await new Promise((r) => setTimeout(r, 100))) {
    const value = await probe();
    if (value) return value;
  }
  throw new Error(`FAILED: timed out waiting for ${what}`);
}

async function main() {
  const missing = [['/usr/bin/chromium', 'Debian\'s chromium'], [tarnhost, 'tarnhost (HV_TARNHOST)']]
    .find(([file]) => !fs.existsSync(file));
  if (missing) {
    console.log(`SKIPPED: ${missing[1]} is not installed or built; nothing to test the viewer with`);
    return 77;
  }
  const hostLog = path.join(work, 'host.log');
  const host = spawn(tarnhost, ['--db', path.join(work, 'messages.db'), '--listen', 'ip:127.0.0.1:0', '--log-file', hostLog],
    { stdio: 'ignore' });
  cleanup.push(() => host.kill('SIGTERM'));
  const port = await until('tarnhost to listen', () =>
    (fs.existsSync(hostLog) && fs.readFileSync(hostLog, 'utf8').match(/listening on ip:127\.0\.0\.1:(\d+)/) || [])[1]);
  const resources = `${kProduct}\\Providers\\Pump\\Resources`;
  wineRun('reg', 'add', kProduct, '/v', 'InterprocessTransport', '/d', `ip:${port};ip:127.0.0.1:${port}`, '/f');
  for (const [lang, dll] of [['0x0009', 'PumpENU.dll'], ['0x0007', 'PumpDEU.dll']])
    wineRun('reg', 'add', resources, '/v', lang, '/d', `Z:${path.join(binDir, dll).replace(/\//g, '\\')}`, '/f');
  cleanup.push(() => wineRun('reg', 'delete', kProduct, '/v', 'InterprocessTransport', '/f'),
    () => wineRun('reg', 'delete', `${kProduct}\\Providers\\Pump`, '/f'));

  // Messages logged by other processes before the page opens.
  hvdiag('log', '--severity', 'Info', '--provider', 'Press', 'all good');
  hvdiag('log', '--severity', 'Error', '--provider', 'Press', '--location', 'Line 3', '--param', 'batch:int=4711',
    '--child', 'seal hot', 'pump stopped');
  hvdiag('log', '--severity', 'Error', '--provider', 'Pump', '--resource', '1002', '--arg', 'P-101', '--arg', '7');

  const serve = spawn(wine, [path.join(binDir, 'hvdiag.exe'), 'serve', '--listen', '127.0.0.1:0'],
    { stdio: ['pipe', 'ignore', 'pipe'] });
  // Closing standard input is how the test stops it (see docs/wine-notes.md); waiting for its
  // end lets it write what it has to (a coverage build's counts) before Wine is shut down.
  cleanup.push(() => { serve.stdin.end(); return new Promise((done) => { serve.on('exit', done); setTimeout(done, 15000); }); });
  let serveErr = '';
  serve.stderr.on('data', (data) => { serveErr += data; });
  const url = await until('hvdiag serve to listen', () => (serveErr.match(/viewer at (http:\S+)/) || [])[1], 30000);

  // A fresh profile each run; playwright-core takes it as the persistent context's folder.
  const browser = await chromium.launchPersistentContext(path.join(work, 'chromium'), {
    executablePath: '/usr/bin/chromium', headless: true, acceptDownloads: true, viewport: { width: 1400, height: 800 },
    args: ['--disable-gpu', '--disable-quic'],  // playwright-core adds no-sandbox, no background networking
  });
  cleanup.unshift(() => browser.close());
  const page = await browser.newPage();
  const offsite = [];
  page.on('request', (request) => { if (!request.url().startsWith(url)) offsite.push(request.url()); });
  const rows = () => page.$$eval('#messages tbody tr', (trs) => trs.map((tr) => tr.innerText));

  await page.goto(`${url}?lang=en`);
  const shown = await until('three rows', async () => ((await rows()).length === 3 ? rows() : null));
  check(['Pump P-101 pressure 7 bar', 'pump stopped', 'all good'].every((text, i) => shown[i].includes(text)),
    'messages of other processes, newest first, formatted in English');

  await page.check('input[name=severity][value=Error]');
  await until('the severity filter', async () => (await rows()).length === 2);
  check(!(await rows()).some((text) => text.includes('all good')) && page.url().includes('severity=Error'),
    'the severity filter narrows the rows and is in the address');

  await page.click('#messages tbody tr:nth-child(2)');
  const details = await page.innerText('#details');
  check(/batch\s+4711/.test(details) && /Child 1[\s\S]*seal hot/.test(details),
    'the details show the extended parameter and the child');

  await until('live follow', async () => (await page.innerText('#live')) === 'live');
  hvdiag('log', '--severity', 'Error', '--provider', 'Press', 'valve late');
  await until('a message logged after the page opened at the top, without reload',
    async () => (await rows())[0]?.includes('valve late'));

  const [download] = await Promise.all([page.waitForEvent('download'), page.click('#export-xml')]);
  const exported = path.join(outDir, 'viewer-export.xml');
  await download.saveAs(exported);
  const xml = execFileSync('xmllint', ['--encode', 'UTF-8', exported]).toString();
  check(['pump stopped', 'valve late', 'seal hot'].every((text) => xml.includes(text)) && !xml.includes('all good'),
    'the XML export parses with xmllint and holds the filtered messages');

  await page.selectOption('#lang', 'de');
  await until('the provider\'s German text', async () => (await rows()).some((text) => text.includes('Pumpe P-101 Druck 7 bar')));
  await page.click('#messages tbody tr:nth-child(3)');
  await page.screenshot({ path: path.join(outDir, 'viewer.png') });

  // A refused filter and a service that went away are told, and the rows stay.
  for (const [from, says, what] of [['2023-02-29', '"2023-02-29" is not a time', 'a refused filter'],
    ['', 'stored messages cannot be read', 'an unreachable service']]) {
    if (!from) host.kill('SIGKILL');
    await page.fill('input[name=from]', from);
    await page.press('input[name=from]', 'Enter');
    await until(`the error for ${what}`, async () => (await page.innerText('#error')).includes(says));
    check((await rows()).length === 3, `${what} is told and the rows stay`);
  }
  check(offsite.length === 0, `the page fetched nothing from elsewhere ${offsite.join(' ')}`);
  return 0;
}

main().then((code) => code, (failure) => { console.error(failure.stack || String(failure)); return 1; }).then(async (code) => {
  for (const step of cleanup) {
    try { await step(); } catch (ignored) { /* best effort */ }
  }
  process.exit(code);
});
