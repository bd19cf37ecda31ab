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
//
// Every text the page shows comes from locales/<locale>.json; the business
// logic's own status messages are never shown, only texts chosen by status code.
'use strict';

(function () {
  const SERVICE_ROOT = '/1.0/';
  const EVENTS_PATH = '/1.0/Events/all.ws';
  const FALLBACK_LOCALE = 'en-US';
  // A call unanswered this long counts as the store service not responding: Ostrel
  // itself waits two minutes for the business logic, far too long for a person.
  const CALL_TIMEOUT_MS = 5000;
  const RETRY_DELAYS = [2, 4, 8, 15];            // seconds between probes; the last one repeats
  const RECONNECT_DELAYS = [1, 2, 4, 8, 15];     // seconds between channel attempts; the last one repeats
  // A light call that the business logic answers (Ostrel answers some services itself).
  const PROBE_SERVICE = 'Agent/getLocaleCode';
  const MAX_EVENTS_SHOWN = 50;
  const PAGE_SIZE = '50';
  // Ostrel's status code for a business logic that did not answer or cannot be reached.
  const NO_ANSWER = '-13';
  // The UX update manager's status while another update runs.
  const UX_BUSY = '-103';
  // The business logic's refusals that the page explains in its own words.
  const REFUSAL_TEXTS = {
    2: 'errorMissing', 3: 'errorInvalid', 4: 'errorUnknownApp', 5: 'errorCredentials', 6: 'errorNotSignedIn',
  };
  const EVENT_TEXTS = {
    DownloadProgress: 'eventProgress',
    DownloadComplete: 'eventComplete',
    DownloadCancelled: 'eventCancelled',
    InAppPurchase: 'eventInAppPurchase',
    WebLinkEvent: 'eventWebLink',
  };
  // The preferences this page sets, shown with their own labels.
  const PREFERENCE_LABELS = { DownloadNotifications: 'downloadNotifications' };
  const VIEWS = {
    store: { service: 'Catalog/getApplicationsByCategory', title: 'browse', empty: 'noApps' },
    search: { service: 'Catalog/getApplicationsByText', title: 'searchResults', empty: 'noResults' },
    mine: { service: 'Catalog/getMyApplications', title: 'viewMine', empty: 'noMyApps' },
    updates: { service: 'Catalog/getAvailableUpdates', title: 'viewUpdates', empty: 'noUpdates' },
  };

  const state = {
    locale: FALLBACK_LOCALE,
    locales: [],          // {code, language, file} from the UI descriptor
    strings: {},          // the current locale's texts
    fallbackStrings: {},  // en-US, for a key the current locale lacks
    sessionStarted: false,
    user: null,           // {userId, sessionId, name} once signed in
    view: 'store',
    viewToken: 0,         // the newest list request; older replies are dropped
    query: '',
    categoryId: null,
    categories: new Map(),  // id -> name in the current locale
    appId: null,
    app: null,              // the record shown in the details
    downloads: new Map(),   // application id -> {progress}
    outcomes: new Map(),    // application id -> text key of the last finished action
    events: [],             // {type, message, raw}, newest first
    service: { down: false, attempt: 0, timer: null },
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
      if (value === null || value === undefined || value === false) continue;
      if (name === 'class') node.className = value;
      else if (name === 'dataset') Object.assign(node.dataset, value);
      else if (name.startsWith('on')) node.addEventListener(name.slice(2), value);
      else node.setAttribute(name, value === true ? '' : value);
    }
    for (const child of children) {
      if (child === null || child === undefined || child === false) continue;
      node.append(child instanceof Node ? child : document.createTextNode(String(child)));
    }
    return node;
  }

  // An element showing catalogue data (names, descriptions), not a text of the page.
  function content(tag, attributes, value) {
    return el(tag, Object.assign({ 'data-content': '' }, attributes), value);
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

  // ------------------------------------------------------------------ texts

  // A text of the current locale, with {0}, {1} ... replaced by the arguments.
  function t(key, ...args) {
    const template = state.strings[key] || state.fallbackStrings[key] || key;
    return template.replace(/\{(\d+)\}/g, (match, index) => (args[index] !== undefined ? String(args[index]) : match));
  }

  // Gives a node a text of the locale files; translatePage sets it again in the
  // next locale, so no text stays in the language it was first shown in.
  function setText(node, key, ...args) {
    node.dataset.i18n = key;
    if (args.length) node.dataset.i18nArgs = JSON.stringify(args.map(String));
    else delete node.dataset.i18nArgs;
    node.textContent = t(key, ...args);
    return node;
  }

  function clearText(node) {
    delete node.dataset.i18n;
    delete node.dataset.i18nArgs;
    node.textContent = '';
  }

  function textEl(tag, attributes, key, ...args) { return setText(el(tag, attributes), key, ...args); }

  function translatePage() {
    for (const node of document.querySelectorAll('[data-i18n]')) {
      const args = node.dataset.i18nArgs ? JSON.parse(node.dataset.i18nArgs) : [];
      node.textContent = t(node.dataset.i18n, ...args);
    }
    for (const node of document.querySelectorAll('[data-i18n-placeholder]')) {
      node.placeholder = t(node.dataset.i18nPlaceholder);
    }
    for (const node of document.querySelectorAll('[data-i18n-label]')) {
      node.setAttribute('aria-label', t(node.dataset.i18nLabel));
    }
  }

  async function fetchStrings(locale) {
    const entry = state.locales.find((l) => l.code === locale);
    const file = entry && entry.file ? entry.file : locale + '.json';
    const response = await fetch('locales/' + encodeURIComponent(file));
    if (!response.ok) throw new Error('HTTP ' + response.status);
    return response.json();
  }

  async function loadStrings(locale) {
    try {
      if (!Object.keys(state.fallbackStrings).length) state.fallbackStrings = await fetchStrings(FALLBACK_LOCALE);
      state.strings = locale === FALLBACK_LOCALE ? state.fallbackStrings : await fetchStrings(locale);
    } catch (error) {
      console.warn('texts of ' + locale + ' could not be loaded', error);
      state.strings = {};  // the fallback texts, or the page's own, stay
    }
    state.locale = locale;
    document.documentElement.lang = locale.split('-')[0];
    translatePage();
  }

  // --------------------------------------------------------- service calls

  // kind "unreachable": no answer in time, no connection, or Ostrel reports that
  // the business logic did not answer; "refused": the business logic refused the
  // request (statusCode says why); "failed": anything else.
  class ServiceError extends Error {
    constructor(kind, statusCode, detail) {
      super(detail || kind);
      this.name = 'ServiceError';
      this.kind = kind;
      this.statusCode = statusCode || '';
    }
  }

  // The status record of a reply body, wherever the shape puts it.
  function statusOf(body) {
    if (!body || typeof body !== 'object') return null;
    if (body.status && typeof body.status === 'object') return body.status;
    if (body.response && typeof body.response.status === 'object') return body.response.status;
    return null;
  }

  function parseJson(raw) {
    try {
      return raw ? JSON.parse(raw) : null;
    } catch (ignored) {
      return null;
    }
  }

  // Sends one call and reads its whole reply within CALL_TIMEOUT_MS.
  async function send(path, parameters, method) {
    const query = new URLSearchParams(parameters).toString();
    let url = SERVICE_ROOT + path + '.svc';
    const options = { method, headers: { Accept: 'text/json' } };
    if (method === 'POST') {
      options.headers['Content-Type'] = 'application/x-www-form-urlencoded';
      options.body = query;
    } else if (query) {
      url += '?' + query;
    }
    const controller = new AbortController();
    const timer = setTimeout(() => controller.abort(), CALL_TIMEOUT_MS);
    try {
      const response = await fetch(url, Object.assign(options, { signal: controller.signal }));
      return { httpStatus: response.status, ok: response.ok, body: parseJson(await response.text()) };
    } catch (error) {
      throw new ServiceError('unreachable', '', path + ': ' + error.message);
    } finally {
      clearTimeout(timer);
    }
  }

  // The "response" object of a reply, or the ServiceError that explains it.
  // `anyStatus` takes a reply with a non-zero status code as an answer.
  function readReply(path, reply, anyStatus) {
    const status = statusOf(reply.body);
    const code = status ? text(status.statuscode) : '';
    if (code === NO_ANSWER || [502, 503, 504].includes(reply.httpStatus)) {
      throw new ServiceError('unreachable', code, path + ': HTTP ' + reply.httpStatus);
    }
    if (!reply.body || typeof reply.body !== 'object') {
      throw new ServiceError('failed', code, path + ': unreadable reply, HTTP ' + reply.httpStatus);
    }
    if (!reply.ok || (code && code !== '0' && !anyStatus)) {
      const refused = Number(code) > 0 && Number(code) < 100;
      throw new ServiceError(refused ? 'refused' : 'failed', code, path + ': ' + text(status && status.statusmessage));
    }
    return reply.body.response || reply.body;
  }

  // Calls a service and returns the "response" object of its JSON reply. A call
  // that gets no answer puts the page into the "not responding" state.
  async function callService(path, parameters = {}, method = 'GET', anyStatus = false) {
    try {
      return readReply(path, await send(path, parameters, method), anyStatus);
    } catch (error) {
      console.warn(error.message);
      if (error.kind === 'unreachable') serviceDown();
      throw error;
    }
  }

  // The text key that explains a failed call to a person.
  function errorKey(error) {
    if (!(error instanceof ServiceError) || error.kind === 'failed') return 'errorFailed';
    if (error.kind === 'unreachable') return 'errorNoAnswer';
    return REFUSAL_TEXTS[error.statusCode] || 'errorRefused';
  }

  // --------------------------------------------- the service not responding

  function serviceDown() {
    const service = state.service;
    if (service.down) return;
    service.down = true;
    service.attempt = 0;
    renderServiceStatus();
    scheduleProbe();
  }

  function scheduleProbe() {
    const service = state.service;
    const delay = RETRY_DELAYS[Math.min(service.attempt, RETRY_DELAYS.length - 1)];
    service.attempt += 1;
    clearTimeout(service.timer);
    service.timer = setTimeout(probeService, delay * 1000);
  }

  // One call at a time while the service is silent: each unanswered call keeps
  // one of Ostrel's workers waiting.
  async function probeService() {
    try {
      readReply(PROBE_SERVICE, await send(PROBE_SERVICE, {}, 'GET'));
    } catch (error) {
      if (error.kind === 'unreachable') {
        scheduleProbe();
        return;
      }
    }
    state.service.down = false;
    renderServiceStatus();
    await refreshAll();
  }

  function renderServiceStatus() {
    const banner = byId('service-status');
    banner.dataset.state = state.service.down ? 'down' : 'ok';
    banner.hidden = !state.service.down;
  }

  // ------------------------------------------------------------- messages

  // Shows what failed and why, in the current locale.
  function reasonNodes(contextKey, error) {
    return [textEl('span', {}, contextKey), ': ', textEl('span', {}, errorKey(error))];
  }

  function showNotice(contextKey, error) {
    const notice = byId('notice-text');
    clear(notice);
    notice.append(...reasonNodes(contextKey, error));
    byId('notice').hidden = false;
  }

  function hideNotice() { byId('notice').hidden = true; }

  // Shows a failure inside a section, in place of its content.
  function showInlineError(container, contextKey, error) {
    clear(container);
    const tag = container.tagName === 'UL' || container.tagName === 'OL' ? 'li' : 'p';
    container.append(el(tag, { class: 'inline-error', role: 'alert' }, ...reasonNodes(contextKey, error)));
  }

  // ---------------------------------------------------------------- locales

  function renderLocales() {
    const select = byId('locale-select');
    clear(select);
    for (const locale of state.locales) {
      // Each language is named in its own language, as people look for it.
      select.append(el('option', { value: locale.code, lang: locale.code }, locale.language || locale.code));
    }
    select.value = state.locale;
    select.disabled = state.locales.length < 2;
    select.hidden = state.locales.length === 0;
  }

  async function changeLocale(locale) {
    try {
      await callService('Agent/setLocaleCode', { localeCode: locale });
    } catch (error) {
      showNotice('errorLanguage', error);
      byId('locale-select').value = state.locale;
      return;
    }
    await loadStrings(locale);
    renderSessionStatus();
    renderEvents();
    // Category names, banners and the lists come from the business logic in the new locale.
    await Promise.all([loadBanners(), loadCategories().then(loadView), state.appId ? showApplication(state.appId) : null]);
  }

  // ---------------------------------------------------------------- session

  async function startSession() {
    const status = byId('session-status');
    try {
      const reply = await callService('Process/startInitialization',
        { locale: state.locale, searchlimit: '20', providerid: 'kivra' });
      readSession(reply);
      state.sessionStarted = true;
      renderLocales();
      await loadStrings(state.locale);
      renderSessionStatus();
      renderAccount();
      handlePendingEvent(reply);
    } catch (error) {
      status.dataset.state = 'failed';
      setText(status, 'sessionFailed');
    }
  }

  function readSession(reply) {
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
    byId('session-status').dataset.state = text(session.connected) === '1' ? 'online' : 'offline';
  }

  function renderSessionStatus() {
    const status = byId('session-status');
    if (status.dataset.state === 'failed' || status.dataset.state === 'starting') return;
    clearText(status);
    if (status.dataset.state === 'offline') status.append(textEl('span', {}, 'offline'), ' · ');
    status.append(state.user ? textEl('span', {}, 'signedInAs', state.user.name) : textEl('span', {}, 'guest'));
  }

  // A web link that arrived while the store was closed rides along with some
  // replies; it names the application to show.
  function handlePendingEvent(reply) {
    const pending = reply && reply.event;
    if (pending && text(pending.type) === 'WebLinkEvent' && pending.message) handleWebLink(pending.message);
  }

  // ---------------------------------------------------------------- account

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
      setText(errorLine, errorKey(error));
      errorLine.hidden = false;
    } finally {
      button.disabled = false;
    }
  }

  async function logout() {
    try {
      await callService('Profile/logout',
        { userid: state.user ? state.user.userId : '', sessionid: state.user ? state.user.sessionId : '' });
    } catch (error) {
      showNotice('errorSignOut', error);
      return;
    }
    state.user = null;
    renderAccount();
    renderSessionStatus();
  }

  // ---------------------------------------------------------------- banners

  async function loadBanners() {
    const container = byId('banners');
    try {
      const reply = await callService('Catalog/getBanners');
      clear(container);
      for (const banner of list(reply.banners && reply.banners.banner)) container.append(renderBanner(banner));
    } catch (error) {
      showInlineError(container, 'errorBanners', error);
    } finally {
      container.setAttribute('aria-busy', 'false');
    }
  }

  function renderBanner(banner) {
    const appId = text(banner.applicationid);
    const card = el('button', {
      type: 'button',
      class: 'banner',
      dataset: { bannerId: text(banner.id), appId },
      onclick: () => appId && showApplication(appId),
    }, el('strong', {}, text(banner.title)), el('span', {}, text(banner.text)));
    card.style.background = safeColor(banner.color);
    return card;
  }

  // ----------------------------------------------------------- categories

  async function loadCategories() {
    const nav = byId('categories');
    try {
      const reply = await callService('Catalog/getApplicationCategories', { localeCode: state.locale });
      const categories = list(reply.categories && reply.categories.category);
      state.categories = new Map(categories.map((c) => [text(c.id), text(c.name)]));
      if (!state.categoryId && categories.length) state.categoryId = text(categories[0].id);
      clear(nav);
      for (const category of categories) nav.append(renderCategory(category));
    } catch (error) {
      showInlineError(nav, 'errorCategories', error);
    }
  }

  function renderCategory(category) {
    const id = text(category.id);
    return el('button', {
      type: 'button',
      class: 'category',
      dataset: { categoryId: id },
      'aria-pressed': String(id === state.categoryId),
      title: text(category.description),
      onclick: () => selectCategory(id),
    }, text(category.name));
  }

  function selectCategory(categoryId) {
    state.categoryId = categoryId;
    for (const button of byId('categories').querySelectorAll('.category')) {
      button.setAttribute('aria-pressed', String(button.dataset.categoryId === categoryId));
    }
    return selectView('store');
  }

  // ---------------------------------------------------------------- views

  function selectView(view) {
    state.view = view;
    for (const tab of document.querySelectorAll('.view-tab')) {
      tab.setAttribute('aria-pressed', String(tab.dataset.view === view));
    }
    document.querySelector('.layout').dataset.view = view;
    if (view !== 'search') byId('search-input').value = '';
    return loadView();
  }

  function viewParameters(view) {
    const page = { start: '0', count: PAGE_SIZE };
    if (view === 'store') return Object.assign({ categoryid: state.categoryId || '0' }, page);
    if (view === 'search') return Object.assign({ text: state.query }, page);
    return page;
  }

  async function loadView() {
    const view = state.view;
    const token = ++state.viewToken;
    const apps = byId('apps');
    setText(byId('apps-title'), VIEWS[view].title, state.query);
    apps.setAttribute('aria-busy', 'true');
    try {
      const reply = await callService(VIEWS[view].service, viewParameters(view));
      if (token !== state.viewToken) return;  // another list was asked for meanwhile
      renderAppList(list(reply.applications && reply.applications.application), VIEWS[view].empty);
    } catch (error) {
      if (token === state.viewToken) showInlineError(apps, 'errorApps', error);
    } finally {
      if (token === state.viewToken) {
        apps.dataset.view = view;
        apps.setAttribute('aria-busy', 'false');
      }
    }
  }

  function renderAppList(items, emptyKey) {
    const apps = byId('apps');
    clear(apps);
    if (!items.length) apps.append(textEl('li', { class: 'placeholder' }, emptyKey));
    for (const app of items) apps.append(renderAppTile(app));
  }

  async function search(event) {
    event.preventDefault();
    const query = byId('search-input').value.trim();
    if (!query) {
      await selectView('store');
      return;
    }
    state.query = query;
    await selectView('search');
  }

  // ------------------------------------------------------------ app tiles

  function priceLabel(app) {
    const price = Number(text(app.price));
    return price > 0 ? text(app.price) + ' ' + text(app.currency) : t('free');
  }

  function appIcon(app) {
    const icon = el('span', { class: 'app-icon', 'aria-hidden': 'true' }, text(app.name).slice(0, 1));
    icon.style.background = safeColor(app.color);
    return icon;
  }

  function tileBadge(app) {
    if (text(app.updateavailable) === '1' && text(app.installed) === '1') {
      return textEl('span', { class: 'badge update' }, 'updateAvailable');
    }
    return text(app.installed) === '1' ? textEl('span', { class: 'badge' }, 'installed') : null;
  }

  function renderAppTile(app) {
    const id = text(app.id);
    return el('li', { class: 'app-tile', dataset: { appId: id } },
      el('button', { type: 'button', onclick: () => showApplication(id) },
        appIcon(app),
        el('span', { class: 'app-name' }, content('span', {}, text(app.name)), tileBadge(app)),
        el('span', { class: 'app-meta' }, t('by', text(app.publisher))),
        el('span', { class: 'app-meta' }, '★ ' + text(app.rating) + ' · ' + priceLabel(app)),
        content('span', { class: 'app-summary' }, text(app.shortdescription))));
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
      state.app = null;
      showInlineError(details, 'errorDetails', detailsResult.reason);
    }
    if (reviewsResult.status === 'fulfilled') {
      renderReviews(reviewsResult.value);
    } else {
      showInlineError(byId('app-reviews'), 'errorReviews', reviewsResult.reason);
    }
  }

  function renderDetails(app) {
    state.app = app;
    const details = byId('app-details');
    clear(details);
    // The category name of the current locale; the record's own may be in another.
    const category = state.categories.get(text(app.categoryid)) || text(app.categoryname);
    // el() skips the missing parts; Node.append would show them as "null".
    details.append(el('div', { class: 'details-body' },
      el('header', { class: 'details-head' },
        appIcon(app),
        el('div', {},
          content('h3', { id: 'app-name' }, text(app.name)),
          el('p', { class: 'app-meta' }, t('by', text(app.publisher)) + ' · ' + category))),
      el('dl', { class: 'facts' },
        textEl('dt', {}, 'rating'), el('dd', {}, '★ ' + text(app.rating) + ' (' + text(app.ratingcount) + ')'),
        textEl('dt', {}, 'version'), el('dd', {}, text(app.version)),
        textEl('dt', {}, 'size'), el('dd', {}, text(app.size)),
        textEl('dt', {}, 'released'), el('dd', {}, text(app.releasedate))),
      content('p', { class: 'description' }, text(app.description)),
      renderInAppItems(app),
      el('div', { id: 'app-actions', class: 'purchase', 'aria-live': 'polite' })));
    renderActions();
  }

  // Nothing at all for an application without in-app items.
  function renderInAppItems(app) {
    const items = list(app.inappitems && app.inappitems.item);
    if (!items.length) return null;
    return el('div', { class: 'in-app' },
      textEl('h4', {}, 'inAppItems'),
      el('ul', { class: 'in-app-items' },
        ...items.map((item) => el('li', {},
          content('span', {}, text(item.name)), ' · ' + text(item.price) + ' ' + text(item.currency)))));
  }

  function renderReviews(reply) {
    const reviews = byId('app-reviews');
    clear(reviews);
    const items = list(reply.reviews && reply.reviews.review);
    if (!items.length) reviews.append(textEl('li', { class: 'placeholder' }, 'noReviews'));
    for (const review of items) {
      const stars = '★'.repeat(Math.max(0, Math.min(5, Number(text(review.rating)) || 0)));
      reviews.append(el('li', { class: 'review', 'data-content': '' },
        el('strong', {}, stars + ' ' + text(review.title)),
        el('p', {}, text(review.text)),
        el('small', {}, text(review.author) + ' · ' + text(review.date))));
    }
  }

  // -------------------------------------------------------------- actions

  // What can be done with the application shown: one state at a time.
  function renderActions() {
    const box = byId('app-actions');
    if (!box || !state.app) return;
    const app = state.app;
    const id = text(app.id);
    const download = state.downloads.get(id);
    clear(box);
    if (download) box.append(...downloadControls(id, download));
    else if (text(app.installed) === '1') box.append(...installedControls(app));
    else box.append(...purchaseControls(app));
  }

  function actionButton(id, key, onclick, secondary) {
    return textEl('button', { id, type: 'button', class: secondary ? 'secondary' : null, onclick }, key);
  }

  function downloadControls(id, download) {
    return [
      el('progress', { id: 'download-progress', max: '100', value: String(download.progress) }),
      textEl('span', { id: 'download-state', class: 'status-line', dataset: { state: 'downloading' } },
        'downloading', download.progress),
      actionButton('cancel-button', 'cancel', (event) => cancelDownload(id, event.currentTarget), true),
    ];
  }

  function installedControls(app) {
    const id = text(app.id);
    const controls = [textEl('span', { id: 'download-state', class: 'status-line installed', dataset: { state: 'installed' } }, 'installed')];
    if (text(app.updateavailable) === '1') {
      controls.push(actionButton('update-button', 'update', (event) => startUpdate(id, event.currentTarget)));
    }
    controls.push(actionButton('uninstall-button', 'uninstall', (event) => uninstall(id, event.currentTarget), true));
    return controls;
  }

  function purchaseControls(app) {
    const id = text(app.id);
    const price = text(app.price);
    const currency = text(app.currency);
    const paid = Number(price) > 0;
    const button = el('button', {
      id: 'purchase-button',
      type: 'button',
      dataset: { appId: id, price, currency },
      onclick: (event) => purchase(id, price, currency, event.currentTarget),
    });
    if (paid) setText(button, 'buy', price, currency);
    else setText(button, 'install');
    const outcome = state.outcomes.get(id);
    return outcome ? [button, textEl('span', { id: 'download-state', class: 'status-line', dataset: { state: outcome } }, outcome)] : [button];
  }

  // Runs one action call with its button disabled; a failure is shown as a notice.
  async function runAction(button, contextKey, call) {
    if (button) button.disabled = true;
    try {
      return await call();
    } catch (error) {
      showNotice(contextKey, error);
      if (button) button.disabled = false;
      return null;
    }
  }

  async function purchase(appId, price, currency, button) {
    const reply = await runAction(button, 'errorPurchase', () => callService('Process/startPurchaseApplication', {
      correlationid: randomId('c-'),
      applicationid: appId,
      currency,
      price,
      transactionid: randomId('t-'),
      localecode: state.locale,
    }, 'POST'));
    if (reply) startedDownload(appId);
  }

  async function startUpdate(appId, button) {
    const reply = await runAction(button, 'errorUpdate', () => callService('Process/startUpdateApplication', {
      correlationid: randomId('c-'),
      applicationid: appId,
      localecode: state.locale,
    }, 'POST'));
    if (reply) startedDownload(appId);
  }

  function startedDownload(appId) {
    state.outcomes.delete(appId);
    state.downloads.set(appId, { progress: 0 });
    renderActions();
  }

  async function cancelDownload(appId, button) {
    const reply = await runAction(button, 'errorCancel',
      () => callService('Process/stopPurchaseApplication', { applicationid: appId }, 'POST'));
    if (reply) finishedDownload(appId, 'downloadCancelled');
  }

  async function uninstall(appId, button) {
    const reply = await runAction(button, 'errorUninstall', () => callService('Process/startUninstallApplication',
      { correlationid: randomId('c-'), applicationid: appId }, 'POST'));
    if (reply) finishedDownload(appId, 'uninstalled');
  }

  // A download or an uninstall ended: the business logic says what is installed now.
  function finishedDownload(appId, outcomeKey) {
    state.downloads.delete(appId);
    if (outcomeKey) state.outcomes.set(appId, outcomeKey);
    else state.outcomes.delete(appId);
    if (state.appId === appId) showApplication(appId);
    if (state.view === 'mine' || state.view === 'updates') loadView();
  }

  // ------------------------------------------------------------ preferences

  async function loadPreferences() {
    const listNode = byId('preferences-list');
    try {
      const reply = await callService('Profile/getUserPreferences');
      clear(listNode);
      for (const preference of list(reply.preferences && reply.preferences.preference)) {
        listNode.append(renderPreference(text(preference.name), text(preference.value)));
        if (text(preference.name) === 'DownloadNotifications') {
          byId('preference-notifications').value = text(preference.value);
        }
      }
    } catch (error) {
      showInlineError(listNode, 'errorPreferences', error);
    }
  }

  // The page's own preferences with its own labels; others as they are stored.
  function renderPreference(name, value) {
    const labelKey = PREFERENCE_LABELS[name];
    const valueKey = labelKey && (value === 'on' || value === 'off') ? value : null;
    return el('li', { dataset: { name } },
      labelKey ? textEl('span', {}, labelKey) : content('code', {}, name), ': ',
      valueKey ? textEl('span', {}, valueKey) : content('code', {}, value));
  }

  async function savePreference(event) {
    event.preventDefault();
    const select = byId('preference-notifications');
    const status = byId('preference-status');
    clearText(status);
    status.classList.remove('inline-error');
    try {
      // Each parameter of the call is one preference: its name and its value.
      await callService('Profile/setUserPreference', { [select.name]: select.value });
      setText(status, 'saved');
      await loadPreferences();
    } catch (error) {
      setText(status, errorKey(error));
      status.classList.add('inline-error');
    }
  }

  // -------------------------------------------------------------- UX update

  async function loadUxVersion() {
    const line = byId('ux-version');
    try {
      const reply = await callService('UXUpdate/getUxVersion');
      const version = text(reply.uxversion);
      line.dataset.version = version;
      setText(line, version ? 'uxVersion' : 'uxVersionUnknown', version);
      handlePendingEvent(reply);
    } catch (error) {
      setText(line, 'uxVersionUnknown');
    }
  }

  // Activates a UI update that the store has downloaded and staged, if there is
  // one, and asks whether the UI changed since the last question.
  async function checkUxUpdate() {
    const button = byId('ux-check');
    const status = byId('ux-status');
    button.disabled = true;
    setText(status, 'uxChecking');
    try {
      const activation = await callService('UXUpdate/uxUpdate', { Action: 'ACTIVATE' }, 'GET', true);
      const code = text(activation.status && activation.status.statuscode);
      const was = await callService('UXUpdate/uxWasUpdated');
      handlePendingEvent(was);
      await showUxOutcome(text(was.wasupdated) === '1', code);
    } catch (error) {
      setText(status, errorKey(error));
    } finally {
      button.disabled = false;
    }
  }

  async function showUxOutcome(updated, code) {
    const status = byId('ux-status');
    status.dataset.outcome = updated ? 'updated' : code === UX_BUSY ? 'busy' : 'current';
    if (!updated) {
      setText(status, code === UX_BUSY ? 'uxBusy' : 'uxCurrent');
      return;
    }
    await loadUxVersion();
    setText(status, 'uxUpdated', byId('ux-version').dataset.version || '');
    byId('ux-reload').hidden = false;
  }

  // ------------------------------------------------------------ live events

  const channel = { socket: null, attempt: 0, timer: null };

  function setChannelStatus(stateName, key, ...args) {
    const status = byId('events-status');
    status.dataset.state = stateName;
    setText(status, key, ...args);
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
    setChannelStatus('connecting', 'connecting');
    socket.addEventListener('open', () => {
      channel.attempt = 0;
      setChannelStatus('open', 'connected');
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
    setChannelStatus('closed', 'reconnecting', delay);
    channel.timer = setTimeout(openChannel, delay * 1000);
  }

  function handleEventText(data) {
    const body = parseJson(data);  // an XML channel's text is not JSON: shown as it came
    const event = body && body.event ? body.event : null;
    const type = event ? text(event.type) : '';
    if (type === 'Control') return;  // keeps the channel alive; nothing to show
    const message = event && event.message && typeof event.message === 'object' ? event.message : {};

    if (type === 'DownloadProgress') handleProgress(message);
    else if (type === 'DownloadComplete') finishedDownload(text(message.applicationid), null);
    else if (type === 'DownloadCancelled') finishedDownload(text(message.applicationid), 'downloadCancelled');
    else if (type === 'WebLinkEvent') handleWebLink(message);
    state.events.unshift({ type: type || 'Message', message, raw: event ? '' : data });
    state.events.length = Math.min(state.events.length, MAX_EVENTS_SHOWN);
    renderEvents();
  }

  // Progress of a download this page started; a late one after a cancel is dropped.
  function handleProgress(message) {
    const appId = text(message.applicationid);
    const download = state.downloads.get(appId);
    if (!download) return;
    download.progress = Number(text(message.progress)) || 0;
    if (state.app && text(state.app.id) === appId) renderActions();
  }

  function renderEvents() {
    const events = byId('events');
    clear(events);
    for (const event of state.events) events.append(renderEvent(event));
  }

  function renderEvent(event) {
    const { type, message } = event;
    const name = text(message.applicationname) || text(message.applicationid);
    const item = el('li', { class: 'event', dataset: { type } });
    const key = EVENT_TEXTS[type];
    if (key) {
      const subject = text(message.applicationitemid) || name;
      item.append(textEl('span', {}, key, subject, text(message.progress)));
    } else {
      item.append(textEl('span', {}, 'eventOther'), ' ', content('code', {}, event.raw || type));
    }
    return item;
  }

  function handleWebLink(message) {
    const appId = text(message.applicationid);
    const categoryId = text(message.categoryid);
    if (categoryId && categoryId !== state.categoryId) selectCategory(categoryId);
    if (appId) showApplication(appId);
  }

  // ------------------------------------------------------------------ start

  // Loads everything the page shows; also after the service answers again.
  async function refreshAll() {
    if (!state.sessionStarted) await startSession();
    await Promise.all([
      loadBanners(),
      loadCategories().then(loadView),
      loadPreferences(),
      loadUxVersion(),
      state.appId ? showApplication(state.appId) : null,
    ]);
  }

  function bindControls() {
    byId('notice-close').addEventListener('click', hideNotice);
    byId('login-form').addEventListener('submit', login);
    byId('logout-button').addEventListener('click', logout);
    byId('preference-form').addEventListener('submit', savePreference);
    byId('search-form').addEventListener('submit', search);
    byId('locale-select').addEventListener('change', (event) => changeLocale(event.target.value));
    byId('ux-check').addEventListener('click', checkUxUpdate);
    byId('ux-reload').addEventListener('click', () => location.reload());
    for (const tab of document.querySelectorAll('.view-tab')) {
      tab.addEventListener('click', () => selectView(tab.dataset.view));
    }
  }

  document.addEventListener('DOMContentLoaded', async () => {
    bindControls();
    await loadStrings(state.locale);
    openChannel();
    await refreshAll();
  });
})();
