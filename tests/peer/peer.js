'use strict';
// test group: system
// An independent peer for the encrypted protocol of docs/protocol.md, for
// the tests: CPace and the key schedule with @noble/curves and
// @noble/hashes, the record streams with libsodium-wrappers. It plays host
// or joiner over TCP, sends its lines once the handshake is done, and
// prints what happens, one event a line:
//   listening PORT | established | line TEXT | final | refused | closed | failed WHY
//
//   node peer.js --role host|joiner --code 482917
//                [--port N] [--address A] [--send "a|b"] [--expect N]
//                [--misbehave wrong-code|invalid-point|flipped-tag|reordered-record|no-final]
// A host listens on --port (0: any; the port is printed) for one joiner.
// After sending its lines and reading --expect lines (or the other side's
// final record) it sends its final record and closes its half of the
// connection, reading on until the other side closes too.
const net = require('node:net');
const crypto = require('node:crypto');
const { RistrettoPoint } = require('@noble/curves/ed25519');
const { sha512 } = require('@noble/hashes/sha2');
const { hmac } = require('@noble/hashes/hmac');
const { blake2b } = require('@noble/hashes/blake2b');
const sodium = require('libsodium-wrappers');

const args = {};
for (let i = 2; i + 1 < process.argv.length; i += 2) args[process.argv[i].replace(/^--/, '')] = process.argv[i + 1];
const role = args.role;
const misbehave = args.misbehave || '';
const toSend = args.send ? args.send.split('|').map((s) => Buffer.from(s, 'latin1')) : [];
const expect = Number(args.expect || 0);
// The offer's 80 wire bytes, as docs/protocol.md gives them.
const offer = Buffer.from(
  '7cd6f927e0e9276d8067266d58e9573377546c2c26744b6d265c3979266b7a5cd6678054' +
    '2654f927e0e9276d7a376c2ce0337727377966e94b647133776b26673736d680265437e9' +
    '4b806ce95454286c',
  'hex',
);
let code = Buffer.from(args.code || '', 'latin1');
if (misbehave === 'wrong-code') code = Buffer.from(String((Number(code) + 1) % 1000000).padStart(6, '0'));

const say = (event) => process.stdout.write(event + '\n');
const ascii = (s) => Buffer.from(s, 'ascii');
const cat = (...parts) => Buffer.concat(parts.map((p) => Buffer.from(p)));

// CPace, draft-irtf-cfrg-cpace-13, ristretto255 and SHA-512.
const DSI = ascii('CPaceRistretto255');
const CI = ascii('NatterDuo/1');
const AD = { host: ascii('NatterDuo/1 host'), joiner: ascii('NatterDuo/1 joiner') };
function leb128(n) {
  const out = [];
  do {
    let b = n & 0x7f;
    n >>>= 7;
    if (n) b |= 0x80;
    out.push(b);
  } while (n);
  return Buffer.from(out);
}
const prependLen = (x) => cat(leb128(x.length), x);
const lvCat = (...xs) => cat(...xs.map(prependLen));
function generator(prs, sid) {
  const zpad = Math.max(0, 128 - 1 - prependLen(prs).length - prependLen(DSI).length);
  return RistrettoPoint.hashToCurve(sha512(lvCat(DSI, prs, Buffer.alloc(zpad), CI, sid)));
}
function randomScalar() {
  for (;;) {
    const n = BigInt('0x' + crypto.randomBytes(64).toString('hex')) % RistrettoPoint.Fn.ORDER;
    if (n !== 0n) return n;
  }
}
// The other share, decoded and checked, or null.
function decodeShare(bytes) {
  try {
    const p = RistrettoPoint.fromHex(bytes);
    return p.equals(RistrettoPoint.ZERO) ? null : p;
  } catch {
    return null;
  }
}
// Keys and tags for sid, both messages and the shared point K.
function schedule(sid, msgA, msgB, K) {
  const isk = sha512(cat(lvCat(cat(DSI, ascii('_ISK')), sid, K), msgA, msgB));
  const derive = (label, dkLen) => blake2b(ascii(label), { key: isk, dkLen });
  const t = cat(sid, msgA, msgB);
  return {
    ta: hmac(sha512, derive('NatterDuo/1 confirm host', 64), t),
    tb: hmac(sha512, derive('NatterDuo/1 confirm joiner', 64), t),
    hostToJoiner: derive('NatterDuo/1 stream host to joiner', 32),
    joinerToHost: derive('NatterDuo/1 stream joiner to host', 32),
  };
}

const TYPE = { hello: 1, reply: 2, confirm: 3, record: 4, refused: 5 };
const frame = (type, payload) => cat([type, payload.length >> 8, payload.length & 0xff], payload);

function run(socket) {
  let buffer = Buffer.alloc(0);
  let offerSeen = role !== 'host';
  let push = null;
  let pull = null;
  let received = 0;
  const hs = {}; // the handshake: sid, scalar, messages, keys
  let stopped = false; // after a failure: nothing more is read
  let closed = false;
  const close = (event) => {
    if (closed) return;
    closed = true;
    if (event) say(event);
    socket.end(); // our half: what the other side still sends is read until it closes too
  };
  const end = (event) => {
    stopped = true;
    close(event);
  };
  const fail = (why) => end('failed ' + why);
  const flip = (b, at) => {
    const c = Buffer.from(b);
    c[at] ^= 0x01;
    return c;
  };
  const share = (y, g) => (misbehave === 'invalid-point' ? Buffer.alloc(32) : Buffer.from(g.multiply(y).toBytes()));

  const sealLines = () => {
    const records = toSend.map((line) =>
      frame(TYPE.record, Buffer.from(sodium.crypto_secretstream_xchacha20poly1305_push(push, line, null, sodium.crypto_secretstream_xchacha20poly1305_TAG_MESSAGE))),
    );
    if (misbehave === 'reordered-record' && records.length > 1) [records[0], records[1]] = [records[1], records[0]];
    for (const r of records) socket.write(r);
    maybeFinish();
  };
  // Once its lines are out and the expected ones in: the final record (an
  // orderly end), then the connection closed from this side.
  let sentFinal = false;
  const maybeFinish = () => {
    if (received < expect || sentFinal) return;
    sentFinal = true;
    if (misbehave !== 'no-final')
      socket.write(frame(TYPE.record, Buffer.from(sodium.crypto_secretstream_xchacha20poly1305_push(push, new Uint8Array(0), null, sodium.crypto_secretstream_xchacha20poly1305_TAG_FINAL))));
    close();
  };

  const onFrame = (type, payload) => {
    if (role === 'joiner' && type === TYPE.hello && !hs.sid) {
      hs.sid = payload.subarray(0, 16);
      hs.msgA = payload.subarray(16);
      if (hs.msgA.length !== 50 || hs.msgA[0] !== 32 || hs.msgA[33] !== 16 || !hs.msgA.subarray(34).equals(AD.host)) return fail('bad-hello');
      const Ya = decodeShare(hs.msgA.subarray(1, 33));
      if (!Ya) return fail('bad-hello');
      const y = randomScalar();
      const msgB = lvCat(share(y, generator(code, hs.sid)), AD.joiner);
      const k = schedule(hs.sid, hs.msgA, msgB, Ya.multiply(y).toBytes());
      hs.keys = k;
      const p = sodium.crypto_secretstream_xchacha20poly1305_init_push(k.joinerToHost);
      push = p.state;
      socket.write(frame(TYPE.reply, cat(msgB, misbehave === 'flipped-tag' ? flip(k.tb, 5) : k.tb, p.header)));
    } else if (role === 'joiner' && type === TYPE.confirm && hs.keys && !pull) {
      if (payload.length !== 88 || !Buffer.from(payload.subarray(0, 64)).equals(Buffer.from(hs.keys.ta))) return fail('bad-confirmation');
      pull = sodium.crypto_secretstream_xchacha20poly1305_init_pull(payload.subarray(64), hs.keys.hostToJoiner);
      say('established');
      sealLines();
    } else if (role === 'joiner' && type === TYPE.refused && !pull) {
      end('refused');
    } else if (role === 'host' && type === TYPE.reply && hs.y && !pull) {
      const msgB = payload.subarray(0, 52);
      if (payload.length !== 140 || msgB[0] !== 32 || msgB[33] !== 18 || !msgB.subarray(34).equals(AD.joiner)) return fail('bad-reply');
      const Yb = decodeShare(msgB.subarray(1, 33));
      if (!Yb) return fail('bad-reply');
      const k = schedule(hs.sid, hs.msgA, msgB, Yb.multiply(hs.y).toBytes());
      if (!Buffer.from(payload.subarray(52, 116)).equals(Buffer.from(k.tb))) {
        socket.write(frame(TYPE.refused, Buffer.alloc(0)));
        return end('refused');
      }
      pull = sodium.crypto_secretstream_xchacha20poly1305_init_pull(payload.subarray(116), k.joinerToHost);
      const p = sodium.crypto_secretstream_xchacha20poly1305_init_push(k.hostToJoiner);
      push = p.state;
      socket.write(frame(TYPE.confirm, cat(misbehave === 'flipped-tag' ? flip(k.ta, 63) : k.ta, p.header)));
      say('established');
      sealLines();
    } else if (type === TYPE.record && pull) {
      let opened = null;
      try {
        opened = sodium.crypto_secretstream_xchacha20poly1305_pull(pull, payload, null);
      } catch {
        opened = null;
      }
      if (!opened) return fail('integrity');
      if (opened.tag === sodium.crypto_secretstream_xchacha20poly1305_TAG_FINAL) {
        say('final');
        stopped = true;
        received = Math.max(received, expect);
        return maybeFinish();
      }
      say('line ' + Buffer.from(opened.message).toString('latin1'));
      received += 1;
      if (push) maybeFinish();
    } else {
      fail('unexpected-frame');
    }
  };

  if (role === 'joiner') socket.write(offer);
  socket.on('data', (chunk) => {
    buffer = Buffer.concat([buffer, chunk]);
    if (!offerSeen) {
      if (buffer.length < offer.length) return;
      if (!buffer.subarray(0, offer.length).equals(offer)) return fail('no-offer');
      buffer = buffer.subarray(offer.length);
      offerSeen = true;
      hs.sid = crypto.randomBytes(16);
      hs.y = randomScalar();
      hs.msgA = lvCat(share(hs.y, generator(code, hs.sid)), AD.host);
      socket.write(frame(TYPE.hello, cat(hs.sid, hs.msgA)));
    }
    while (!stopped && buffer.length >= 3) {
      if (buffer[0] >= 0x20) return fail('plain-text');
      const length = (buffer[1] << 8) | buffer[2];
      if (buffer.length < 3 + length) return;
      const payload = buffer.subarray(3, 3 + length);
      const type = buffer[0];
      buffer = buffer.subarray(3 + length);
      onFrame(type, payload);
    }
  });
  socket.on('end', () => end('closed'));
  socket.on('error', () => end('closed'));
  socket.on('close', () => {
    if (!closed) say('closed');
    closed = true;
  });
}

// --role vector: the CPace values for fixed inputs, for the tests' literals.
function vector() {
  const hex = (b) => Buffer.from(b).toString('hex');
  const sid = Buffer.from('000102030405060708090a0b0c0d0e0f', 'hex');
  const scalar = (byte) => BigInt('0x' + Buffer.alloc(32, byte).toString('hex')); // 32 equal bytes
  const g = generator(ascii('482917'), sid);
  const [ya, yb] = [scalar(1), scalar(2)];
  const [Ya, Yb] = [g.multiply(ya).toBytes(), g.multiply(yb).toBytes()];
  const K = RistrettoPoint.fromHex(Yb).multiply(ya).toBytes();
  const msgA = lvCat(Ya, AD.host), msgB = lvCat(Yb, AD.joiner);
  const isk = sha512(cat(lvCat(cat(DSI, ascii('_ISK')), sid, K), msgA, msgB));
  say(JSON.stringify({ g: hex(g.toBytes()), Ya: hex(Ya), Yb: hex(Yb), K: hex(K), ISK: hex(isk) }, null, 1));
}

sodium.ready.then(() => {
  if (role === 'vector') {
    vector();
  } else if (role === 'host') {
    const server = net.createServer({ allowHalfOpen: true }, (socket) => {
      server.close();
      run(socket);
    });
    server.listen(Number(args.port || 0), args.address || '127.0.0.1', () => say('listening ' + server.address().port));
  } else {
    run(net.connect({ port: Number(args.port), host: args.address || '127.0.0.1', allowHalfOpen: true }));
  }
});
