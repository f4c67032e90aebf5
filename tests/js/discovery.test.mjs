// SPDX-License-Identifier: Apache-2.0
// Discovery against the real service when the first port is held by
// something else: the library passes over what is not the service.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import net from 'node:net';

import { KestrovanClient } from '../../clients/js/kestrovan.js';
import { startService, fetchWithOrigin, waitForFreePorts } from './harness.mjs';

test('the first port taken by another program: the service is found on the next', async (t) => {
  await waitForFreePorts();
  // Another program on 127.0.0.1:56459 that accepts and hangs up.
  const squatter = net.createServer((socket) => socket.destroy());
  await new Promise((resolve, reject) => {
    squatter.once('error', reject);
    squatter.listen(56459, '127.0.0.1', resolve);
  });
  t.after(() => new Promise((resolve) => squatter.close(resolve)));
  const service = await startService(undefined, { freePorts: [56559, 56659] });
  t.after(() => service.stop());

  const client = new KestrovanClient({ fetch: fetchWithOrigin('https://app.test') });
  assert.equal(await client.locate(), 'https://127.0.0.1:56559');
  const session = await client.openSession();
  assert.equal(await session.call('Found'), 'ok:Found');
  await session.forceRelease();
});

// The service serves only its own user's programs: the library run as
// another user (uid 65534, through setpriv) meets the service on every
// address, is closed before TLS each time, and says whose service that
// most likely is.
test('run as another user, the library says the service answering belongs to someone else', async (t) => {
  if (process.getuid() !== 0) {
    t.skip('needs root to act as another user');
    return;
  }
  await waitForFreePorts();
  const service = await startService();
  t.after(() => service.stop());
  const library = new URL('../../clients/js/kestrovan.js', import.meta.url).href;
  const script = `
    import { KestrovanClient } from ${JSON.stringify(library)};
    try {
      await new KestrovanClient({ hosts: ['127.0.0.1'], probeTimeoutMs: 5000, timeoutMs: 20000 }).locate();
      console.log(JSON.stringify({ found: true }));
    } catch (e) {
      console.log(JSON.stringify({ kind: e.kind, message: e.message }));
    }`;
  const env = { PATH: process.env.PATH, HOME: '/' };
  const run = spawnSync('setpriv', ['--reuid=65534', '--regid=65534', '--clear-groups', process.execPath,
    '--input-type=module', '-e', script], { env, encoding: 'utf8', timeout: 60000 });
  assert.equal(run.status, 0, run.stderr);
  const outcome = JSON.parse(run.stdout.trim().split('\n').pop());
  assert.equal(outcome.kind, 'ServiceUnreachable', run.stdout);
  assert.match(outcome.message, /https:\/\/127\.0\.0\.1:56459, https:\/\/127\.0\.0\.1:56559, https:\/\/127\.0\.0\.1:56659 accepted the connection but closed it before the secure connection was set up/);
  assert.match(outcome.message, /most likely belongs to another user/);
  // One refusal line for each of the three addresses tried.
  await service.waitFor('Connection of another user refused: uid 65534 from 127.0.0.1:', 15000, 3);
});
