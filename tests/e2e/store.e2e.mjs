// Opens the store in headless chromium and walks the road a user takes: the
// session starts, the catalogue renders from JSON service replies, a sign-in, a
// purchase whose progress events arrive over the event channel.
//   node store.e2e.mjs URL SCREENSHOT
import { chromium } from 'playwright-core';
import assert from 'node:assert/strict';

const [url, screenshot] = process.argv.slice(2);
const browser = await chromium.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-background-networking', '--disable-component-update',
         '--disable-default-apps', '--disable-sync', '--no-first-run', '--disable-dev-shm-usage'],
});

const step = async (name, action) => {
  try {
    await action();
    console.log('ok - ' + name);
  } catch (error) {
    console.log('not ok - ' + name);
    throw error;
  }
};

try {
  const page = await browser.newPage();
  const catalogue = [];
  page.on('response', (response) => {
    if (response.url().includes('/1.0/Catalog/getApplicationsByCategory.svc')) catalogue.push(response);
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
    assert.equal(await page.textContent('#apps .app-tile .app-name'), first.name);
    await page.waitForSelector('#banners > *');
  });

  await step('the event channel opens', async () => {
    await page.waitForSelector('#events-status[data-state="open"]', { timeout: 15000 });
  });

  await step('signing in with a wrong password shows the error, the right one signs in', async () => {
    await page.fill('#login-mail', 'demo@kivra.test');
    await page.fill('#login-password', 'wrong');
    await page.click('#login-submit');
    await page.waitForFunction(() => document.getElementById('login-error').textContent.trim() !== '');
    await page.fill('#login-password', 'demo123');
    await page.click('#login-submit');
    await page.waitForFunction(() => document.getElementById('account-name').textContent.trim() !== '');
  });

  await step('an application shows its details and reviews', async () => {
    await page.click('#apps .app-tile button');
    await page.waitForSelector('#purchase-button', { timeout: 15000 });
  });

  await step('a purchase sends download events that appear on the page', async () => {
    await page.click('#purchase-button');
    await page.waitForSelector('#events .event[data-type="DownloadProgress"]', { timeout: 20000 });
    await page.waitForSelector('#events .event[data-type="DownloadComplete"]', { timeout: 20000 });
  });

  await page.screenshot({ path: screenshot, fullPage: true });
  assert.deepEqual(pageErrors, []);
  console.log('7 passed, 0 failed');
} finally {
  await browser.close();
}
