// Discovery against the real service when the first port is held by
// something else: the library passes over what is not the service.
import { test } from 'node:test';
import assert from 'node:assert/strict';
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
