// The Kivra store UI: the reference client of the Ostrel plug-in.
//
// Every service call is "/1.0/<Area>/<service>.svc" on the page's own origin,
// with the parameters of the service's request template. Replies are JSON made
// from the business logic's XML: element names in lower case, every value a
// string, an empty element as {}, and repeated children as an array only when
// there are two or more (one child is a plain object). Failed calls answer
// HTTP 500 with a JSON body: {"status":{...}}, {"response":{"status":{...}}} or
// {"http":{"error":"..."}}. Live events arrive on the WebSocket channel
// "/1.0/Events/all.ws" as {"event":{"type":"...","message":{...}}}.
'use strict';

(function () {
  const SERVICE_ROOT = '/1.0/';
  const EVENTS_PATH = '/1.0/Events/all.ws';
  const RECONNECT_DELAYS = [1, 2, 4, 8, 15];  // seconds, the last one repeats
  const MAX_EVENTS_SHOWN = 50;

  const state = {
    locale: 'en-US',
    locales: [],        // {code, language, file} from the UI descriptor
    strings: {},        // the current locale's texts
    categoryId: null,
    appId: null,
    user: null,         // {userId, sessionId, name} once signed in
    downloads: new Map(),  // application id -> {progress, state}
  };

  // ---------------------------------------------------------------- helpers

  function byId(id) { return document.getElementById(id); }

  // The text of a reply value; empty elements arrive as {}.
  function text(value) { return typeof value === 'string' ? value : ''; }

  // A repeated element as an array, whether it came as an array, one object or nothing.
  function list(value) {
    if (Array.isArray(value)) return value;
    if (value && typeof value === 'object' && Object.keys(value).length > 0) return [value];
    return [];
  }

  // Builds an element; children are nodes or strings (always inserted as text).
  function el(tag, attributes, ...children) {
    const node = document.createElement(tag);
    for (const [name, value] of Object.entries(attributes || {})) {
      if (name === 'class') node.className = value;
      else if (name === 'dataset') Object.assign(node.dataset, value);
      else if (name.startsWith('on')) node.addEventListener(name.slice(2), value);
      else node.setAttribute(name, value);
    }
    for (const child of children) {
      if (child === null || child === undefined) continue;
      node.append(child instanceof Node ? child : document.createTextNode(String(child)));
    }
    return node;
  }

  function clear(node) { node.replaceChildren(); }

  // Colours come from the data; anything but a plain hex colour is ignored.
  function safeColor(value) {
    const color = text(value);
    return /^#[0-9a-fA-F]{3}([0-9a-fA-F]{3})?$/.test(color) ? color : '#5b6474';
  }

  function randomId(prefix) {
    const bytes = new Uint8Array(8);
    crypto.getRandomValues(bytes);
    return prefix + Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
  }

  // A text of the current locale, with {0}, {1} ... replaced by the arguments.
  function t(key, fallback, ...args) {
    const template = state.strings[key] || fallback;
    return template.replace(/\{(\d+)\}/g, (match, index) => (args[index] !== undefined ? String(args[index]) : match));
  }

  // ---------------------------------------------------------- service calls

  class ServiceError extends Error {
    constructor(message, httpStatus, statusCode) {
      super(message);
      this.name = 'ServiceError';
      this.httpStatus = httpStatus;
      this.statusCode = statusCode;
    }
  }

  // The status record of a reply body, wherever the shape puts it.
  function statusOf(body) {
    if (!body || typeof body !== 'object') return null;
    if (body.status && typeof body.status === 'object') return body.status;
    if (body.response && typeof body.response.status === 'object') return body.response.status;
    return null;
  }

  function errorMessageOf(body, fallback) {
    const status = statusOf(body);
    if (status && text(status.statusmessage)) return text(status.statusmessage);
    if (body && body.http && text(body.http.error)) return text(body.http.error);
    return fallback;
  }

  // Calls a service and returns the "response" object of its JSON reply. Throws
  // ServiceError for HTTP errors, unreadable replies and refusals with a status
  // code other than 0 (which the business logic may send with HTTP 200).
  async function callService(path, parameters = {}, method = 'GET') {
    const query = new URLSearchParams(parameters).toString();
    let url = SERVICE_ROOT + path + '.svc';
    const options = { method, headers: { Accept: 'text/json' } };
    if (method === 'POST') {
      options.headers['Content-Type'] = 'application/x-www-form-urlencoded';
      options.body = query;
    } else if (query) {
      url += '?' + query;
    }

    let response;
    try {
      response = await fetch(url, options);
    } catch (error) {
      throw new ServiceError('The store service cannot be reached (' + error.message + ')', 0, null);
    }
    const raw = await response.text();
    let body = null;
    try {
      body = raw ? JSON.parse(raw) : null;
    } catch (ignored) {
      body = null;
    }
    const status = statusOf(body);
    const statusCode = status ? text(status.statuscode) : null;
    if (!response.ok) {
      const fallback = raw.trim() || ('HTTP ' + response.status + ' ' + response.statusText);
      throw new ServiceError(errorMessageOf(body, fallback), response.status, statusCode);
    }
    if (!body || typeof body !== 'object') {
      throw new ServiceError('Unreadable reply from ' + path + (raw ? ': ' + raw.slice(0, 200) : ''), response.status, null);
    }
    if (statusCode && statusCode !== '0') {
      throw new ServiceError(errorMessageOf(body, 'Refused with status ' + statusCode), response.status, statusCode);
    }
    return body.response || body;
  }

  // ------------------------------------------------------------- messages

  function showNotice(context, error) {
    byId('notice-text').textContent = context + ': ' + (error && error.message ? error.message : String(error));
    byId('notice').hidden = false;
  }

  function hideNotice() { byId('notice').hidden = true; }

  // Shows a failure inside a section, in place of its content.
  function showInlineError(container, context, error) {
    clear(container);
    container.append(el(container.tagName === 'UL' || container.tagName === 'OL' ? 'li' : 'p',
      { class: 'inline-error', role: 'alert' }, context + ': ' + error.message));
  }

  // -------------------------------------------------------------- locales

  async function loadStrings(locale) {
    const entry = state.locales.find((l) => l.code === locale);
    const file = entry && entry.file ? entry.file : locale + '.json';
    try {
      const response = await fetch('locales/' + encodeURIComponent(file));
      if (!response.ok) throw new Error('HTTP ' + response.status);
      state.strings = await response.json();
    } catch (error) {
      state.strings = {};  // the page's own English texts stay
      showNotice('Texts for ' + locale + ' could not be loaded', error);
    }
    state.locale = locale;
    document.documentElement.lang = locale.split('-')[0];
    for (const node of document.querySelectorAll('[data-i18n]')) {
      const value = state.strings[node.dataset.i18n];
      if (value) node.textContent = value;
    }
  }

  function renderLocales() {
    const select = byId('locale-select');
    clear(select);
    for (const locale of state.locales) {
      select.append(el('option', { value: locale.code }, locale.language || locale.code));
    }
    select.value = state.locale;
    select.disabled = state.locales.length < 2;
  }

  async function changeLocale(locale) {
    try {
      await callService('Agent/setLocaleCode', { localeCode: locale });
    } catch (error) {
      showNotice('The language could not be changed', error);
      byId('locale-select').value = state.locale;
      return;
    }
    await loadStrings(locale);
    renderSessionStatus();
    await Promise.all([loadCategories(), state.appId ? showApplication(state.appId) : null]);
  }

  // -------------------------------------------------------------- session

  async function startSession() {
    const status = byId('session-status');
    try {
      const reply = await callService('Process/startInitialization',
        { locale: state.locale, searchlimit: '20', providerid: 'kivra' });
      const descriptor = reply.kivrauidescriptor || {};
      const session = reply.kivrasessionproperties || {};
      state.locales = list(descriptor.supportedlocalecodes && descriptor.supportedlocalecodes.item)
        .map((item) => ({ code: text(item.isocode), language: text(item.language), file: text(item.resourcefilename) }))
        .filter((item) => item.code);
      const locale = text(session.localecode);
      if (locale && state.locales.some((l) => l.code === locale)) state.locale = locale;
      if (text(session.identified) === '1') {
        state.user = { userId: '', sessionId: '', name: text(session.username) || text(session.useremail) };
      }
      status.dataset.state = text(session.connected) === '1' ? 'online' : 'offline';
      renderLocales();
      await loadStrings(state.locale);
      renderSessionStatus();
      renderAccount();
      // A web link that arrived while the store was closed names the application to show.
      const pending = reply.event;
      if (pending && text(pending.type) === 'WebLinkEvent' && pending.message) {
        handleWebLink(pending.message);
      }
    } catch (error) {
      status.dataset.state = 'failed';
      status.textContent = 'Session failed: ' + error.message;
      showNotice('The store session could not be started', error);
    }
  }

  function renderSessionStatus() {
    const status = byId('session-status');
    if (status.dataset.state === 'failed') return;
    const who = state.user ? t('signedInAs', 'Signed in as {0}', state.user.name) : t('guest', 'Browsing as guest');
    status.textContent = status.dataset.state === 'offline' ? t('offline', 'Offline') + ' · ' + who : who;
  }

  // --------------------------------------------------------------- account

  function renderAccount() {
    byId('login-form').hidden = Boolean(state.user);
    byId('account').hidden = !state.user;
    byId('account-name').textContent = state.user ? state.user.name : '';
  }

  async function login(event) {
    event.preventDefault();
    const errorLine = byId('login-error');
    const button = byId('login-submit');
    errorLine.hidden = true;
    button.disabled = true;
    try {
      // POST keeps the password out of the address and the server's log of URLs.
      const reply = await callService('Profile/login',
        { mail: byId('login-mail').value, password: byId('login-password').value }, 'POST');
      const name = [text(reply.firstname), text(reply.lastname)].join(' ').trim() || text(reply.mail);
      state.user = { userId: text(reply.userid), sessionId: text(reply.sessionid), name };
      byId('login-password').value = '';
      renderAccount();
      renderSessionStatus();
      await loadPreferences();
    } catch (error) {
      errorLine.textContent = error.message;
      errorLine.hidden = false;
    } finally {
      button.disabled = false;
    }
  }

  async function logout() {
    try {
      await callService('Profile/logout', { userid: state.user ? state.user.userId : '', sessionid: state.user ? state.user.sessionId : '' });
    } catch (error) {
      showNotice('Signing out failed', error);
      return;
    }
    state.user = null;
    renderAccount();
    renderSessionStatus();
  }

  // --------------------------------------------------------------- banners

  async function loadBanners() {
    const container = byId('banners');
    try {
      const reply = await callService('Catalog/getBanners');
      clear(container);
      for (const banner of list(reply.banners && reply.banners.banner)) {
        const appId = text(banner.applicationid);
        const card = el('button', {
          type: 'button',
          class: 'banner',
          dataset: { bannerId: text(banner.id), appId },
          onclick: () => appId && showApplication(appId),
        }, el('strong', {}, text(banner.title)), el('span', {}, text(banner.text)));
        card.style.background = safeColor(banner.color);
        container.append(card);
      }
    } catch (error) {
      showInlineError(container, 'Banners could not be loaded', error);
    } finally {
      container.setAttribute('aria-busy', 'false');
    }
  }

  // ------------------------------------------------------ categories & apps

  async function loadCategories() {
    const nav = byId('categories');
    try {
      const reply = await callService('Catalog/getApplicationCategories', { localeCode: state.locale });
      const categories = list(reply.categories && reply.categories.category);
      clear(nav);
      for (const category of categories) {
        const id = text(category.id);
        nav.append(el('button', {
          type: 'button',
          class: 'category',
          dataset: { categoryId: id },
          'aria-pressed': String(id === state.categoryId),
          title: text(category.description),
          onclick: () => selectCategory(id),
        }, text(category.name)));
      }
      if (!state.categoryId && categories.length) await selectCategory(text(categories[0].id));
    } catch (error) {
      showInlineError(nav, 'Categories could not be loaded', error);
    }
  }

  async function selectCategory(categoryId) {
    state.categoryId = categoryId;
    for (const button of byId('categories').querySelectorAll('.category')) {
      button.setAttribute('aria-pressed', String(button.dataset.categoryId === categoryId));
    }
    const apps = byId('apps');
    apps.setAttribute('aria-busy', 'true');
    try {
      const reply = await callService('Catalog/getApplicationsByCategory',
        { categoryid: categoryId, start: '0', count: '20' });
      const items = list(reply.applications && reply.applications.application);
      clear(apps);
      if (!items.length) apps.append(el('li', { class: 'placeholder' }, t('noApps', 'No applications in this category.')));
      for (const app of items) apps.append(renderAppTile(app));
    } catch (error) {
      showInlineError(apps, 'Applications could not be loaded', error);
    } finally {
      apps.setAttribute('aria-busy', 'false');
    }
  }

  function priceLabel(app) {
    const price = Number(text(app.price));
    return price > 0 ? text(app.price) + ' ' + text(app.currency) : t('free', 'Free');
  }

  function appIcon(app) {
    const icon = el('span', { class: 'app-icon', 'aria-hidden': 'true' }, text(app.name).slice(0, 1));
    icon.style.background = safeColor(app.color);
    return icon;
  }

  function renderAppTile(app) {
    const id = text(app.id);
    return el('li', { class: 'app-tile', dataset: { appId: id } },
      el('button', { type: 'button', onclick: () => showApplication(id) },
        appIcon(app),
        el('span', { class: 'app-name' }, text(app.name)),
        el('span', { class: 'app-meta' }, t('by', 'by {0}', text(app.publisher))),
        el('span', { class: 'app-meta' }, '★ ' + text(app.rating) + ' · ' + priceLabel(app)),
        el('span', { class: 'app-summary' }, text(app.shortdescription))));
  }

  // ---------------------------------------------------------- app details

  async function showApplication(appId) {
    state.appId = appId;
    const details = byId('app-details');
    details.dataset.appId = appId;
    details.setAttribute('aria-busy', 'true');
    const parameters = { applicationid: appId, localecode: state.locale };
    const [detailsResult, reviewsResult] = await Promise.allSettled([
      callService('Application/getApplicationDetails', parameters),
      callService('Application/getApplicationReviews', parameters),
    ]);
    if (state.appId !== appId) return;  // another application was chosen meanwhile
    details.setAttribute('aria-busy', 'false');

    if (detailsResult.status === 'fulfilled') {
      renderDetails(detailsResult.value.application || {});
    } else {
      showInlineError(details, 'Details could not be loaded', detailsResult.reason);
    }
    if (reviewsResult.status === 'fulfilled') {
      renderReviews(reviewsResult.value);
    } else {
      showInlineError(byId('app-reviews'), 'Reviews could not be loaded', reviewsResult.reason);
    }
  }

  function renderDetails(app) {
    const details = byId('app-details');
    clear(details);
    const id = text(app.id);
    const items = list(app.inappitems && app.inappitems.item);
    details.append(
      el('header', { class: 'details-head' },
        appIcon(app),
        el('div', {},
          el('h3', { id: 'app-name' }, text(app.name)),
          el('p', { class: 'app-meta' }, t('by', 'by {0}', text(app.publisher)) + ' · ' + text(app.categoryname)))),
      el('dl', { class: 'facts' },
        el('dt', {}, 'Rating'), el('dd', {}, '★ ' + text(app.rating) + ' (' + text(app.ratingcount) + ')'),
        el('dt', {}, 'Version'), el('dd', {}, text(app.version)),
        el('dt', {}, 'Size'), el('dd', {}, text(app.size)),
        el('dt', {}, 'Released'), el('dd', {}, text(app.releasedate))),
      el('p', { class: 'description' }, text(app.description)),
      items.length ? el('ul', { class: 'in-app-items' },
        ...items.map((item) => el('li', {}, text(item.name) + ' · ' + text(item.price) + ' ' + text(item.currency)))) : null,
      el('div', { class: 'purchase' },
        el('button', {
          id: 'purchase-button',
          type: 'button',
          dataset: { appId: id, price: text(app.price), currency: text(app.currency) },
          onclick: () => purchase(id, text(app.price), text(app.currency)),
        }, Number(text(app.price)) > 0 ? t('buy', 'Buy for {0} {1}', text(app.price), text(app.currency)) : t('install', 'Install')),
        el('progress', { id: 'download-progress', max: '100', value: '0', hidden: '' }),
        el('span', { id: 'download-state', class: 'status-line', 'aria-live': 'polite' },
          text(app.installed) === '1' ? t('installed', 'Installed') : '')));
    renderDownload(id);
  }

  function renderReviews(reply) {
    const reviews = byId('app-reviews');
    clear(reviews);
    const items = list(reply.reviews && reply.reviews.review);
    if (!items.length) reviews.append(el('li', { class: 'placeholder' }, t('noReviews', 'No reviews yet.')));
    for (const review of items) {
      reviews.append(el('li', { class: 'review' },
        el('strong', {}, '★'.repeat(Math.max(0, Math.min(5, Number(text(review.rating)) || 0))) + ' ' + text(review.title)),
        el('p', {}, text(review.text)),
        el('small', {}, text(review.author) + ' · ' + text(review.date))));
    }
  }

  // ------------------------------------------------------------- purchase

  async function purchase(appId, price, currency) {
    const button = byId('purchase-button');
    if (button) button.disabled = true;
    try {
      const reply = await callService('Process/startPurchaseApplication', {
        correlationid: randomId('c-'),
        applicationid: appId,
        currency,
        price,
        transactionid: randomId('t-'),
        localecode: state.locale,
      }, 'POST');
      state.downloads.set(appId, { progress: 0, state: text(reply.state) || 'DOWNLOADING' });
      renderDownload(appId);
    } catch (error) {
      showNotice('The purchase could not be started', error);
      if (button) button.disabled = false;
    }
  }

  // Shows the download of the application on screen, if it is the one shown.
  function renderDownload(appId) {
    const download = state.downloads.get(appId);
    const progress = byId('download-progress');
    const label = byId('download-state');
    const button = byId('purchase-button');
    if (!download || !progress || byId('app-details').dataset.appId !== appId) return;
    const done = download.state === 'INSTALLED';
    progress.hidden = done;
    progress.value = download.progress;
    label.textContent = done ? t('installed', 'Installed') : t('downloading', 'Downloading… {0} %', download.progress);
    // Enabled again only when the download was cancelled.
    button.disabled = download.state !== 'CANCELLED';
  }

  // ------------------------------------------------------------ preferences

  async function loadPreferences() {
    const listNode = byId('preferences-list');
    try {
      const reply = await callService('Profile/getUserPreferences');
      clear(listNode);
      for (const preference of list(reply.preferences && reply.preferences.preference)) {
        listNode.append(el('li', { dataset: { name: text(preference.name) } },
          el('code', {}, text(preference.name)), ' = ', el('code', {}, text(preference.value))));
        if (text(preference.name) === 'DownloadNotifications') {
          byId('preference-notifications').value = text(preference.value);
        }
      }
    } catch (error) {
      showInlineError(listNode, 'Preferences could not be loaded', error);
    }
  }

  async function savePreference(event) {
    event.preventDefault();
    const select = byId('preference-notifications');
    const status = byId('preference-status');
    status.textContent = '';
    status.classList.remove('inline-error');
    try {
      // Each parameter of the call is one preference: its name and its value.
      await callService('Profile/setUserPreference', { [select.name]: select.value });
      status.textContent = t('saved', 'Saved.');
      await loadPreferences();
    } catch (error) {
      status.textContent = error.message;
      status.classList.add('inline-error');
    }
  }

  // ----------------------------------------------------------- live events

  const channel = { socket: null, attempt: 0, timer: null };

  function setChannelStatus(stateName, message) {
    const status = byId('events-status');
    status.dataset.state = stateName;
    status.textContent = message;
  }

  function openChannel() {
    clearTimeout(channel.timer);
    const scheme = location.protocol === 'https:' ? 'wss://' : 'ws://';
    let socket;
    try {
      socket = new WebSocket(scheme + location.host + EVENTS_PATH);
    } catch (error) {
      scheduleReconnect();
      return;
    }
    channel.socket = socket;
    setChannelStatus('connecting', t('connecting', 'Connecting…'));
    socket.addEventListener('open', () => {
      channel.attempt = 0;
      setChannelStatus('open', t('connected', 'Connected'));
    });
    socket.addEventListener('message', (message) => handleEventText(String(message.data)));
    socket.addEventListener('close', () => {
      if (channel.socket === socket) scheduleReconnect();
    });
    // An error is always followed by close, which reconnects.
  }

  function scheduleReconnect() {
    const delay = RECONNECT_DELAYS[Math.min(channel.attempt, RECONNECT_DELAYS.length - 1)];
    channel.attempt += 1;
    channel.socket = null;
    setChannelStatus('closed', t('reconnecting', 'Connection lost, retrying in {0} s', delay));
    channel.timer = setTimeout(openChannel, delay * 1000);
  }

  function handleEventText(data) {
    let body = null;
    try {
      body = JSON.parse(data);
    } catch (ignored) {
      body = null;  // not JSON (an XML channel): shown as it came
    }
    const event = body && body.event ? body.event : null;
    const type = event ? text(event.type) : '';
    if (type === 'Control') return;  // keeps the channel alive; nothing to show
    const message = event && event.message && typeof event.message === 'object' ? event.message : {};

    if (type === 'DownloadProgress' || type === 'DownloadComplete' || type === 'DownloadCancelled') {
      const appId = text(message.applicationid);
      const progress = type === 'DownloadComplete' ? 100 : Number(text(message.progress)) || 0;
      state.downloads.set(appId, { progress, state: text(message.state) });
      renderDownload(appId);
    } else if (type === 'WebLinkEvent') {
      handleWebLink(message);
    }
    appendEvent(type || 'Message', event ? describeEvent(message) : data);
  }

  function describeEvent(message) {
    return Object.entries(message).map(([name, value]) => name + '=' + text(value)).join(', ');
  }

  function appendEvent(type, details) {
    const events = byId('events');
    events.prepend(el('li', { class: 'event', dataset: { type } }, el('strong', {}, type), ' ', el('span', {}, details)));
    while (events.children.length > MAX_EVENTS_SHOWN) events.lastElementChild.remove();
  }

  function handleWebLink(message) {
    const appId = text(message.applicationid);
    const categoryId = text(message.categoryid);
    if (categoryId && categoryId !== state.categoryId) selectCategory(categoryId);
    if (appId) showApplication(appId);
  }

  // ------------------------------------------------------------------ start

  document.addEventListener('DOMContentLoaded', async () => {
    byId('notice-close').addEventListener('click', hideNotice);
    byId('login-form').addEventListener('submit', login);
    byId('logout-button').addEventListener('click', logout);
    byId('preference-form').addEventListener('submit', savePreference);
    byId('locale-select').addEventListener('change', (event) => changeLocale(event.target.value));

    openChannel();
    await startSession();
    await Promise.all([loadBanners(), loadCategories(), loadPreferences()]);
  });
})();
