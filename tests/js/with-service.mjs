// SPDX-License-Identifier: Apache-2.0
// with-service.mjs -- runs a test command beside a freshly provisioned
// Kestrovan installation:
//
//   node with-service.mjs COMMAND [ARGS...]
//
// Makes a temporary installation (see harness.mjs), runs COMMAND with
// KESTROVAN_TEST_ROOT naming it and NODE_EXTRA_CA_CERTS trusting its local
// CA (node reads that only at start, hence this wrapper), removes the
// installation, and exits with COMMAND's status. The tests start and stop
// the service themselves.
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';

import { makeInstallation, tempFolder } from './harness.mjs';

if (process.argv.length < 3) {
  console.error('usage: node with-service.mjs COMMAND [ARGS...]');
  process.exit(2);
}

const root = tempFolder();
let status = 1;
try {
  const installation = makeInstallation(root, { nss: true });
  const result = spawnSync(process.argv[2], process.argv.slice(3), {
    stdio: 'inherit',
    env: { ...process.env, KESTROVAN_TEST_ROOT: root, NODE_EXTRA_CA_CERTS: installation.caFile },
  });
  if (result.error) throw result.error;
  status = result.status ?? 1;
} catch (error) {
  console.error(`with-service.mjs: ${error.stack || error}`);
  status = 1;
} finally {
  fs.rmSync(root, { recursive: true, force: true });
}
process.exit(status);
