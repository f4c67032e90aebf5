// SPDX-License-Identifier: Apache-2.0
// verify_auth.mjs ANSWER-FILE ORIGIN CHALLENGE-BASE64 ANCHORS-FILE [dual] -- runs
// the shipped verifier (clients/js/verify-authentication.mjs) as a site's
// server would, for the C++ tests: prints {"ok":true,...} or
// {"ok":false,"reason":...} and exits 0 or 1. "dual" passes acceptDualUse.
import fs from 'node:fs';
import { verifyAuthentication, AuthenticationError } from '../../clients/js/verify-authentication.mjs';

const [answerFile, origin, challenge, anchorsFile, dual] = process.argv.slice(2);
try {
  const signer = verifyAuthentication(fs.readFileSync(answerFile, 'utf8'),
    { origin, challenge, trustAnchors: fs.readFileSync(anchorsFile, 'utf8'), acceptDualUse: dual === 'dual' });
  console.log(JSON.stringify({ ok: true, subject: signer.subject }));
} catch (error) {
  if (!(error instanceof AuthenticationError)) throw error;
  console.log(JSON.stringify({ ok: false, reason: error.reason, message: error.message }));
  process.exitCode = 1;
}
