// Opens the store in headless chromium and walks the roads a shopper takes: the
// session starts, the catalogue renders from JSON service replies, a sign-in, a
// purchase whose progress events arrive over the event channel, My apps, a
// search, a cancelled download, an uninstall, an update, the UI's own version
// and its update, German throughout; the store by the names localhost and
// [::1]; then a store whose business logic never
// answers, and an event channel that closes.
//   E2E_NPM_DIR=DIR node store.e2e.mjs URL SCREENSHOT SILENT_URL SILENT_HOST_PID
// Each view's screenshot is written beside SCREENSHOT as store-<view>.png.
// playwright-core comes from DIR/node_modules (run-e2e installs it in the build tree).
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const { chromium } = createRequire(path.join(process.env.E2E_NPM_DIR, 'package.json'))('playwright-core');

const [url, screenshot, silentUrl, silentPid] = process.argv.slice(2);
const here = path.dirname(fileURLToPath(import.meta.url));
const localeFile = (code) => JSON.parse(readFileSync(path.join(here, '../../ui/desktop/locales', code + '.json'), 'utf8'));
const english = localeFile('en-US');
const german = localeFile('de-DE');
const SHORT = { timeout: 10000 };
const DOWNLOAD = { timeout: 20000 };

const browser = await chromium.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-background-networking', '--disable-component-update',
         '--disable-default-apps', '--disable-sync', '--no-first-run', '--disable-dev-shm-usage'],
});

let passed = 0;
const step = async (name, action) => {
  try {
    await action();
    passed += 1;
    console.log('ok - ' + name);
  } catch (error) {
    console.log('not ok - ' + name);
    throw error;
  }
};

const viewShot = (page, view) =>
  page.screenshot({ path: screenshot.replace(/\.png$/, '') + '-' + view + '.png', fullPage: true });

// The ids of the application tiles once the list of `view` has loaded.
async function listedApps(page, view) {
  await page.waitForSelector(`#apps[data-view="${view}"][aria-busy="false"]`, SHORT);
  return page.$$eval('#apps .app-tile', (tiles) => tiles.map((tile) => tile.dataset.appId));
}

async function showView(page, view) {
  await page.click(`.view-tab[data-view="${view}"]`);
  return listedApps(page, view);
}

async function openApp(page, appId) {
  await page.click(`#apps .app-tile[data-app-id="${appId}"] button`);
  await page.waitForSelector(`#app-details[data-app-id="${appId}"][aria-busy="false"] #app-actions`, SHORT);
}

// An English text of the page as a pattern that finds it inside a longer text,
// whatever fills its {0}, {1}; not inside a longer word.
function englishPattern(template) {
  const escape = (part) => part.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
  return new RegExp('(?<!\\p{L})' + template.split(/\{\d+\}/).map(escape).join('.+?') + '(?!\\p{L})', 'u');
}

// The texts a person sees: visible text nodes, the shown option of each select,
// placeholders and the title; catalogue data (names, descriptions) is not the page's.
function visibleTexts(page) {
  return page.evaluate(() => {
    const texts = [document.title];
    const walker = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
    for (let node = walker.nextNode(); node; node = walker.nextNode()) {
      const parent = node.parentElement;
      if (!parent || parent.closest('[data-content], select') || !parent.checkVisibility()) continue;
      if (node.textContent.trim()) texts.push(node.textContent.trim());
    }
    for (const select of document.querySelectorAll('select')) {
      if (select.checkVisibility() && select.selectedOptions.length) texts.push(select.selectedOptions[0].text);
    }
    for (const input of document.querySelectorAll('input[placeholder]')) {
      if (input.checkVisibility()) texts.push(input.placeholder);
    }
    return texts;
  });
}

try {
  const page = await browser.newPage({ viewport: { width: 1400, height: 900 } });
  const catalogue = [];
  const searches = [];
  page.on('response', (response) => {
    if (response.url().includes('/1.0/Catalog/getApplicationsByCategory.svc')) catalogue.push(response);
    if (response.url().includes('/1.0/Catalog/getApplicationsByText.svc')) searches.push(response);
  });
  const pageErrors = [];
  page.on('pageerror', (error) => pageErrors.push(error.message));

  await step('the root page opens the desktop store', async () => {
    await page.goto(url);
    await page.waitForURL(/\/desktop\/index\.html$/, { timeout: 15000 });
  });

  await step('a session starts', async () => {
    await page.waitForFunction(() => {
      const state = document.getElementById('session-status').dataset.state;
      return state === 'online' || state === 'offline' || state === 'failed';
    }, null, { timeout: 15000 });
    const state = await page.getAttribute('#session-status', 'data-state');
    assert.notEqual(state, 'failed', await page.textContent('#session-status'));
  });

  await step('a catalogue call returns JSON that the page renders', async () => {
    await page.waitForSelector('#apps .app-tile', { timeout: 15000 });
    assert.ok(catalogue.length > 0, 'no catalogue request seen');
    assert.equal(catalogue[0].status(), 200);
    assert.match(catalogue[0].headers()['content-type'], /^text\/json/);
    const body = JSON.parse(await catalogue[0].text());
    const apps = body.response.applications.application;
    const first = Array.isArray(apps) ? apps[0] : apps;
    assert.equal(await page.textContent('#apps .app-tile .app-name [data-content]'), first.name);
    await page.waitForSelector('#banners > *');
    await viewShot(page, 'catalogue');
  });

  await step('the event channel opens', async () => {
    await page.waitForSelector('#events-status[data-state="open"]', { timeout: 15000 });
  });

  await step('signing in with a wrong password shows the error, the right one signs in', async () => {
    await page.fill('#login-mail', 'demo@kivra.test');
    await page.fill('#login-password', 'wrong');
    await page.click('#login-submit');
    await page.waitForFunction(() => document.getElementById('login-error').textContent.trim() !== '');
    assert.equal((await page.textContent('#login-error')).trim(), english.errorCredentials);
    await page.fill('#login-password', 'demo123');
    await page.click('#login-submit');
    await page.waitForFunction(() => document.getElementById('account-name').textContent.trim() !== '');
  });

  await step('an application without in-app items shows its price on the button and nothing above it', async () => {
    await openApp(page, 'app-1002');
    assert.equal(await page.$('#app-details .in-app'), null);
    const actions = await page.textContent('#app-actions');
    assert.equal(actions.trim(), 'Buy for 4.99 USD');
    assert.doesNotMatch(await page.innerText('#app-details'), /\bnull\b|undefined|\[object/);
  });

  await step('a purchase sends download events; then the application is installed, with one state shown', async () => {
    await page.click('#purchase-button');
    await page.waitForSelector('#download-progress', SHORT);
    await page.waitForSelector('#events .event[data-type="DownloadProgress"]', DOWNLOAD);
    await page.waitForSelector('#events .event[data-type="DownloadComplete"]', DOWNLOAD);
    await page.waitForSelector('#download-state[data-state="installed"]', SHORT);
    assert.equal(await page.$('#purchase-button'), null, 'the Buy button stays after the install');
    assert.equal(await page.$('#download-progress'), null);
    assert.equal((await page.textContent('#download-state')).trim(), english.installed);
    assert.ok(await page.$('#uninstall-button'));
    await viewShot(page, 'installed');
  });

  await step('My apps lists the application just installed', async () => {
    const mine = await showView(page, 'mine');
    assert.ok(mine.includes('app-1002'), 'My apps: ' + mine);
    assert.equal((await page.textContent('#apps-title')).trim(), english.viewMine);
    await viewShot(page, 'my-apps');
  });

  await step('a search by name lists only the matching application', async () => {
    await page.fill('#search-input', 'lumen');
    await page.click('#search-submit');
    await page.waitForFunction(() => document.querySelector('#apps-title').textContent.includes('lumen'), null, SHORT);
    const found = await listedApps(page, 'search');
    assert.deepEqual(found, ['app-1005']);
    const request = new URL(searches.at(-1).url());
    assert.equal(request.searchParams.get('text'), 'lumen');
    await viewShot(page, 'search');
  });

  await step('a running download can be cancelled', async () => {
    await openApp(page, 'app-1005');
    await page.click('#purchase-button');
    await page.click('#cancel-button', SHORT);
    await page.waitForSelector('#events .event[data-type="DownloadCancelled"]', DOWNLOAD);
    await page.waitForSelector('#app-details #purchase-button', SHORT);
    assert.equal((await page.textContent('#download-state')).trim(), english.downloadCancelled);
    assert.equal(await page.$('#events .event[data-type="DownloadComplete"] >> text=Lumen'), null);
    await viewShot(page, 'cancelled');
    assert.ok(!(await showView(page, 'mine')).includes('app-1005'), 'a cancelled purchase installed the application');
  });

  await step('an application can be uninstalled', async () => {
    await openApp(page, 'app-1002');
    await page.click('#uninstall-button');
    await page.waitForSelector('#app-details #purchase-button', SHORT);
    assert.equal((await page.textContent('#download-state')).trim(), english.uninstalled);
    await page.waitForFunction(() => !document.querySelector('#apps .app-tile[data-app-id="app-1002"]'), null, SHORT);
    assert.ok(!(await listedApps(page, 'mine')).includes('app-1002'));
  });

  await step('Updates lists the applications with an update; an update takes one off', async () => {
    const updates = await showView(page, 'updates');
    assert.deepEqual(updates, ['app-1001', 'app-1007']);
    await viewShot(page, 'updates');
    await openApp(page, 'app-1001');
    await page.click('#update-button');
    await page.waitForSelector('#download-progress', SHORT);
    await page.waitForSelector('#app-details #download-state[data-state="installed"]', DOWNLOAD);
    assert.equal(await page.$('#update-button'), null);
    await page.waitForFunction(() => !document.querySelector('#apps .app-tile[data-app-id="app-1001"]'), null, SHORT);
  });

  await step('the UI shows its version and activates a waiting UI update', async () => {
    await page.waitForSelector('#ux-version[data-version="1.0.0"]', SHORT);
    assert.equal((await page.textContent('#ux-version')).trim(), 'Store UI version 1.0.0');
    await page.click('#ux-check');
    await page.waitForSelector('#ux-status[data-outcome="updated"]', SHORT);
    assert.equal((await page.textContent('#ux-status')).trim(), 'The store UI was updated to version 1.0.1.');
    await viewShot(page, 'ui-updated');
    await page.click('#ux-reload');
    await page.waitForSelector('#ux-version[data-version="1.0.1"]', { timeout: 15000 });
    await page.click('#ux-check');
    await page.waitForSelector('#ux-status[data-outcome="current"]', SHORT);
    assert.equal((await page.textContent('#ux-status')).trim(), english.uxCurrent);
  });

  await step('in German no English text is left on the page', async () => {
    await page.waitForSelector('#apps .app-tile', SHORT);
    const englishCategories = await page.$$eval('#categories .category', (buttons) => buttons.map((b) => b.textContent));
    await page.selectOption('#preference-notifications', 'off');
    await page.click('#preference-save');
    await page.waitForSelector('#preference-status[data-i18n="saved"]', SHORT);
    await openApp(page, 'app-1001');
    await page.waitForSelector('#events-status[data-state="open"]', SHORT);

    await page.selectOption('#locale-select', 'de-DE');
    await page.waitForFunction(() => document.documentElement.lang === 'de', null, SHORT);
    await page.waitForFunction((names) => {
      const shown = [...document.querySelectorAll('#categories .category')].map((b) => b.textContent);
      return shown.length === names.length && shown.every((name) => !names.includes(name));
    }, englishCategories, SHORT);
    await page.waitForSelector('#app-details[aria-busy="false"] #app-actions', SHORT);
    await page.waitForSelector('#apps[aria-busy="false"]', SHORT);

    const texts = await visibleTexts(page);
    const leftovers = [];
    for (const [key, value] of Object.entries(english)) {
      if (german[key] === value) continue;  // the same word in both ("Store", "Details")
      const pattern = englishPattern(value);
      for (const shown of texts) if (pattern.test(shown)) leftovers.push(`${key}: "${shown}"`);
    }
    assert.deepEqual(leftovers, []);
    assert.equal((await page.textContent('#preference-status')).trim(), german.saved);
    assert.equal((await page.textContent('#events-status')).trim(), german.connected);
    assert.ok((await page.$$eval('.facts dt', (dts) => dts.map((dt) => dt.textContent))).includes(german.rating));
    await viewShot(page, 'german');
  });

  await page.screenshot({ path: screenshot, fullPage: true });

  await step('calls that hang bring "not responding"; once answered again the store loads', async () => {
    // Every service call waits for an answer that does not come, until the page gives up on it.
    const hang = /\.svc(\?|$)/;
    await page.route(hang, () => {});
    await page.click('.view-tab[data-view="mine"]');
    await page.waitForSelector('#service-status[data-state="down"]', { state: 'visible', timeout: 10000 });
    assert.equal((await page.textContent('#service-status')).trim(), german.serviceRetrying);
    await page.unrouteAll({ behavior: 'ignoreErrors' });
    await page.waitForSelector('#service-status', { state: 'hidden', timeout: 20000 });
    await page.waitForSelector('#apps .app-tile[data-app-id="app-1001"]', SHORT);
  });
  assert.deepEqual(pageErrors, []);

  await step('the event channel connects again after it closed', async () => {
    const channels = [];
    const again = await browser.newPage();
    await again.routeWebSocket(/\/1\.0\/Events\/all\.ws$/, (channel) => {
      channel.connectToServer();
      channels.push(channel);
    });
    await again.goto(url);
    await again.waitForSelector('#events-status[data-state="open"]', { timeout: 15000 });
    await channels[0].close();  // as the store does when it stops the channel
    await again.waitForSelector('#events-status[data-state="closed"]', SHORT);
    await again.waitForSelector('#events-status[data-state="open"]', SHORT);
    assert.equal(channels.length, 2);
    await again.close();
  });

  await step('the store opened as localhost or over IPv6 works as by its address', async () => {
    for (const name of ['localhost', '[::1]']) {
      const other = await browser.newPage();
      const failed = [];
      other.on('response', (response) => { if (response.status() >= 400) failed.push(response.url()); });
      await other.goto(url.replace('127.0.0.1', name));
      await other.waitForURL(/\/desktop\/index\.html$/, { timeout: 15000 });
      await other.waitForSelector('#apps .app-tile[data-app-id="app-1001"]', { timeout: 15000 });
      await other.waitForSelector('#events-status[data-state="open"]', SHORT);
      assert.equal(new URL(other.url()).hostname, name);
      assert.deepEqual(failed.filter((address) => !address.endsWith('/favicon.ico')), [], name);
      await other.close();
    }
  });

  const silent = await browser.newPage({ viewport: { width: 1400, height: 900 } });
  silent.on('pageerror', (error) => pageErrors.push(error.message));
  await step('a business logic that never answers shows "not responding" within 10 s', async () => {
    const started = Date.now();
    await silent.goto(silentUrl);
    await silent.waitForSelector('#service-status[data-state="down"]', { state: 'visible', timeout: 10000 });
    assert.ok(Date.now() - started < 10000);
    assert.equal((await silent.textContent('#service-status')).trim(), english.serviceRetrying);
    // Only the page's own texts: no status codes or messages of the layers below.
    assert.doesNotMatch(await silent.innerText('body'), /-13|HTTP|Configuration|Exception|Timeout|timed out/i);
    await viewShot(silent, 'not-responding');
  });

  await step('the event indicator turns red when the channel closes, and it tries again', async () => {
    await silent.waitForSelector('#events-status[data-state="open"]', SHORT);
    process.kill(Number(silentPid), 'SIGINT');
    await silent.waitForSelector('#events-status[data-state="closed"]', SHORT);
    const color = await silent.$eval('#events-status', (node) => getComputedStyle(node, '::before').backgroundColor);
    assert.equal(color, 'rgb(179, 38, 30)');
    assert.match(await silent.textContent('#events-status'), /Disconnected, retrying in \d+ s/);
    await viewShot(silent, 'channel-closed');
    // The next attempt starts by itself, and fails while nothing listens.
    await silent.waitForEvent('websocket', SHORT);
    await silent.waitForSelector('#events-status[data-state="closed"]', SHORT);
  });

  assert.deepEqual(pageErrors, []);
  console.log(`${passed} passed, 0 failed`);
} finally {
  await browser.close();
}
