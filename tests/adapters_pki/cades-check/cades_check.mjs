// SPDX-License-Identifier: Apache-2.0
// cades_check.mjs SIGNATURE.der DATA -- a second opinion on the PKI
// adapter's CMS signatures from pkijs, an implementation that shares no code
// with it (nor with OpenSSL): the structure, the B-B signed attributes, the
// ESS certificate hash against the signer's certificate, the message digest
// against the data, the signature itself, and for a signature-time-stamp
// its token's own signature and its imprint against the signature value.
// Prints one JSON object; exits 0 when it could read the signature at all.
import fs from 'node:fs';
import { createHash, webcrypto } from 'node:crypto';
import * as asn1js from 'asn1js';
import * as pkijs from 'pkijs';

pkijs.setEngine('node', new pkijs.CryptoEngine({ name: 'node', crypto: webcrypto }));

const OID = {
  contentType: '1.2.840.113549.1.9.3',
  messageDigest: '1.2.840.113549.1.9.4',
  signingTime: '1.2.840.113549.1.9.5',
  signingCertificateV2: '1.2.840.113549.1.9.16.2.47',
  timeStampToken: '1.2.840.113549.1.9.16.2.14',
};

const sha256 = (bytes) => createHash('sha256').update(bytes).digest();
const same = (a, b) => Buffer.compare(Buffer.from(a), Buffer.from(b)) === 0;
const bytesOf = (view) => Buffer.from(view.buffer, view.byteOffset, view.byteLength);

const [signaturePath, dataPath] = process.argv.slice(2);
const der = fs.readFileSync(signaturePath);
const data = fs.readFileSync(dataPath);
const signed = new pkijs.SignedData({ schema: pkijs.ContentInfo.fromBER(der).content });
const signer = signed.signerInfos[0];
const attributes = signer.signedAttrs ? signer.signedAttrs.attributes : [];
const attribute = (list, type) => list.find((a) => a.type === type);
const out = {
  signedAttributes: attributes.map((a) => a.type),
  certificates: (signed.certificates || []).length,
  crls: (signed.crls || []).length,
};

// The signer's certificate: the one the SignerInfo names by issuer and serial.
const certificate = (signed.certificates || []).find((c) =>
  c instanceof pkijs.Certificate && signer.sid instanceof pkijs.IssuerAndSerialNumber &&
  c.serialNumber.isEqual(signer.sid.serialNumber) && c.issuer.isEqual(signer.sid.issuer));

const digest = attribute(attributes, OID.messageDigest);
out.messageDigestMatches = !!digest && same(bytesOf(digest.values[0].valueBlock.valueHexView), sha256(data));

const ess = attribute(attributes, OID.signingCertificateV2);
if (ess && certificate) {
  const first = ess.values[0].valueBlock.value[0].valueBlock.value[0].valueBlock.value;
  // ESSCertIDv2: an algorithm (absent: SHA-256), the certificate's hash.
  const hash = first[0] instanceof asn1js.OctetString ? first[0] : first[1];
  const algorithm = first[0] instanceof asn1js.Sequence ? new pkijs.AlgorithmIdentifier({ schema: first[0] }) : null;
  out.essAlgorithm = algorithm ? algorithm.algorithmId : '2.16.840.1.101.3.4.2.1';
  out.essHashMatches = out.essAlgorithm === '2.16.840.1.101.3.4.2.1' &&
    same(bytesOf(hash.valueBlock.valueHexView), sha256(Buffer.from(certificate.toSchema().toBER(false))));
} else {
  out.essHashMatches = false;
}

try {
  const attached = !!signed.encapContentInfo.eContent;
  const result = await signed.verify({ signer: 0, data: attached ? undefined : data, checkChain: false, extendedMode: true });
  out.signatureVerified = result.signatureVerified === true;
} catch (error) {
  out.signatureVerified = false;
  out.signatureError = String(error && (error.message || error));
}

const unsigned = signer.unsignedAttrs ? signer.unsignedAttrs.attributes : [];
const stamp = attribute(unsigned, OID.timeStampToken);
if (stamp) {
  const token = new pkijs.SignedData({ schema: new pkijs.ContentInfo({ schema: stamp.values[0] }).content });
  const info = pkijs.TSTInfo.fromBER(token.encapContentInfo.eContent.valueBlock.valueHexView);
  out.timestampTime = info.genTime.toISOString();
  out.timestampImprintMatches = same(bytesOf(info.messageImprint.hashedMessage.valueBlock.valueHexView),
    sha256(bytesOf(signer.signature.valueBlock.valueHexView)));
  try {
    // For a TSTInfo, pkijs checks the imprint against the data given: what
    // was stamped, the signature value.
    const stamped = signer.signature.valueBlock.valueHexView;
    const result = await token.verify({ signer: 0, data: stamped, checkChain: false, extendedMode: true });
    out.timestampVerified = result.signatureVerified === true;
  } catch (error) {
    out.timestampVerified = false;
    out.timestampError = String(error && (error.message || error));
  }
}
console.log(JSON.stringify(out));
