// SPDX-License-Identifier: Apache-2.0
// demo.js -- the demo page's behaviour: every button is one library call,
// and every failure is shown with the library's own words.
import { createClient, hidden, KestrovanError } from './kestrovan.js';
import { PkiSession, USER_WAIT_MS } from './helm.js';

const $ = (id) => document.getElementById(id);
const client = createClient();
let session = null;
let pki = null; // the PKI adapter's helpers on the session
let running = null; // AbortController of the call in progress

$('origin').textContent = location.origin;

function showError(error) {
  const box = $('error');
  box.textContent = '';
  const title = document.createElement('strong');
  if (error instanceof KestrovanError) {
    title.textContent = error.code !== null ? `${error.kind} (${error.code})` : error.kind;
  } else {
    title.textContent = error.name || 'Error';
  }
  box.append(title, document.createTextNode(error.message));
  box.dataset.kind = error instanceof KestrovanError ? error.kind : error.name;
  $('error-section').hidden = false;
}

function clearError() {
  $('error-section').hidden = true;
  $('error').textContent = '';
  delete $('error').dataset.kind;
}

function sessionButtons() {
  const open = session !== null && !session.closed;
  for (const id of ['close', 'release', 'call', 'store', 'read', 'choose', 'list']) $(id).disabled = !open;
  for (const id of ['sign', 'login']) $(id).disabled = !open || $('certificate').value === '';
  $('session-id').textContent = open ? session.id : '–';
  $('server-version').textContent = open ? session.serverVersion ?? '–' : '–';
  $('lib-version').textContent = open ? session.libVersion ?? '–' : '–';
}

// Runs one action with its button disabled; failures go to the problem box.
async function act(button, work) {
  clearError();
  button.disabled = true;
  try {
    await work();
  } catch (error) {
    showError(error);
  } finally {
    button.disabled = false;
    sessionButtons();
  }
}

$('locate').addEventListener('click', () => act($('locate'), async () => {
  $('service-status').textContent = 'searching…';
  $('service-status').className = 'status';
  try {
    const url = await client.locate();
    $('service-status').textContent = `found at ${url}`;
    $('service-status').className = 'status ok';
  } catch (error) {
    $('service-status').textContent = 'not found';
    throw error;
  }
}));

$('open').addEventListener('click', () => act($('open'), async () => {
  if (session && !session.closed) await session.forceRelease().catch(() => {});
  // On the service's main thread: a site not allowed yet waits for the
  // user's answer in the consent dialog, however long it takes.
  session = await client.openSession({
    browserMode: $('browser-mode').checked, mainThread: true, timeoutMs: USER_WAIT_MS,
    onHeartbeat: (n) => { $('session-id').textContent = `waiting for your answer on this computer (${n})…`; },
  });
  pki = new PkiSession(session);
  $('service-status').textContent = `found at ${client.serviceUrl}`;
  $('service-status').className = 'status ok';
}));

$('close').addEventListener('click', () => act($('close'), async () => {
  await session.close();
  $('call-result').textContent = session.closed ? 'Session closed.' : 'Browser mode: the service kept the session.';
  $('call-result').className = 'result';
}));

$('release').addEventListener('click', () => act($('release'), async () => {
  await session.forceRelease();
  $('call-result').textContent = 'Session released.';
  $('call-result').className = 'result';
}));

// "name=value" lines; the first "=" separates name and value.
function parameters() {
  // No prototype: a line named "__proto__" is a parameter like any other.
  const params = Object.create(null);
  for (const line of $('params').value.split('\n')) {
    if (line.trim() === '') continue;
    const at = line.indexOf('=');
    if (at <= 0) throw new TypeError(`Parameter line "${line}" is not name=value`);
    const value = line.slice(at + 1);
    params[line.slice(0, at).trim()] = $('hide').checked ? hidden(value) : value;
  }
  return params;
}

// Adapters often answer JSON: show it indented.
function readable(text) {
  try {
    const parsed = JSON.parse(text);
    if (parsed !== null && typeof parsed === 'object') return JSON.stringify(parsed, null, 2);
  } catch {
    // not JSON: shown as it is
  }
  return text;
}

$('call').addEventListener('click', () => act($('call'), async () => {
  running = new AbortController();
  $('cancel').disabled = false;
  const out = $('call-result');
  out.className = 'result';
  out.textContent = 'calling…';
  try {
    const result = await session.call($('function').value.trim(), parameters(), {
      mainThread: $('main-thread').checked,
      signal: running.signal,
      onHeartbeat: (n) => { out.textContent = `still running (heartbeat ${n})…`; },
    });
    out.textContent = readable(result);
    out.className = 'result ok';
  } catch (error) {
    out.textContent = '';
    throw error;
  } finally {
    running = null;
    $('cancel').disabled = true;
  }
}));

$('cancel').addEventListener('click', () => {
  if (running) running.abort(new DOMException('The call was cancelled on this page.', 'AbortError'));
});

// ---- the PKI adapter: no PIN field, the computer asks

const waiting = (out) => (n) => { out.textContent = `waiting for you: answer the dialog on this computer (${n})…`; };

// The user chooses the certificate in a dialog of the computer's: the page
// learns only that one (or nothing, when the user cancels).
$('choose').addEventListener('click', () => act($('choose'), async () => {
  const out = $('pki-result');
  out.className = 'result';
  out.textContent = 'choosing…';
  const c = await pki.selectCertificate({ description: 'For the Kestrovan demo' }, { onHeartbeat: waiting(out) });
  const select = $('certificate');
  select.textContent = '';
  const option = document.createElement('option');
  option.value = c.id;
  option.textContent = `${c.commonName} (${c.role})`;
  select.append(option);
  out.textContent = `You chose ${c.commonName}, issued by ${c.issuer}.`;
  out.className = 'result ok';
}));

// Only for the sites the user's settings let list every certificate (kiosks).
$('list').addEventListener('click', () => act($('list'), async () => {
  const { certificates } = await pki.listCertificates();
  const select = $('certificate');
  select.textContent = '';
  for (const c of certificates) {
    const option = document.createElement('option');
    option.value = c.id;
    const usage = c.keyUsage === null ? 'any use' : c.keyUsage.join(', ');
    option.textContent = `${c.commonName} (${usage})`;
    select.append(option);
  }
  $('pki-result').textContent = `${certificates.length} certificate(s).`;
  $('pki-result').className = 'result';
}));

$('certificate').addEventListener('change', sessionButtons);

$('sign').addEventListener('click', () => act($('sign'), async () => {
  const out = $('pki-result');
  out.className = 'result';
  out.textContent = 'signing…';
  const answer = await pki.signCms($('certificate').value, $('sign-text').value, {
    description: $('sign-description').value, onHeartbeat: waiting(out),
  });
  out.textContent = JSON.stringify(answer, null, 2);
  out.className = 'result ok';
}));

// The site's server gives a challenge, the user's key signs it for this
// origin, and the server checks the answer (clients/demo/server.mjs).
$('login').addEventListener('click', () => act($('login'), async () => {
  const out = $('pki-result');
  out.className = 'result';
  out.textContent = 'asking the server for a challenge…';
  const { challenge } = await (await fetch('/challenge')).json();
  const answer = await pki.authenticate($('certificate').value, challenge, {
    description: 'Log in to the Kestrovan demo', onHeartbeat: waiting(out),
  });
  const verdict = await (await fetch('/verify', {
    method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify({ answer, challenge }),
  })).json();
  out.dataset.verdict = JSON.stringify(verdict);
  if (verdict.ok) {
    out.textContent = `Logged in as ${verdict.signer.subject} (issued by ${verdict.signer.issuer}): the site's server verified the signature for ${verdict.origin}.`;
    out.className = 'result ok';
  } else {
    out.textContent = `The site's server refused the login (${verdict.reason}): ${verdict.message}`;
  }
}));

$('store').addEventListener('click', () => act($('store'), async () => {
  const domains = $('domains').value.trim() || new URL(location.href).hostname;
  await session.setValue($('channel').value, $('value').value, {
    domains, timeoutMinutes: Number($('minutes').value || 0),
  });
  $('value-result').textContent = `Stored in "${$('channel').value}" for ${domains}.`;
  $('value-result').className = 'result ok';
}));

$('read').addEventListener('click', () => act($('read'), async () => {
  const value = await session.getValue($('channel').value);
  $('value-result').textContent = value === '' ? '(nothing this page may read)' : `Read: ${value}`;
  $('value-result').className = value === '' ? 'result' : 'result ok';
}));

sessionButtons();
document.body.dataset.ready = 'true';
