'use strict';
// test group: system
// An independent peer for the encrypted protocol of docs/protocol.md, for
// the tests: CPace and the key schedule with @noble/curves and
// @noble/hashes, the record streams with libsodium-wrappers. It plays host
// or joiner over TCP on 127.0.0.1, sends its lines once the handshake is
// done, and prints what happens, one event a line:
//   listening PORT | established | line TEXT | final | closed | failed WHY
//
//   node peer.js --role host|joiner --code 482917 [--port N] [--send "a|b"]
// A host listens on --port (0: any; the port is printed) for one joiner.
// After sending its lines and reading one line (or the other side's final
// record) it sends its final record and closes its half of the connection.
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
const code = Buffer.from(args.code || '', 'latin1');
const toSend = args.send ? args.send.split('|').map((s) => Buffer.from(s, 'latin1')) : [];
// The offer's 80 wire bytes, as docs/protocol.md gives them.
const offer = Buffer.from(
  '7cd6f927e0e9276d8067266d58e9573377546c2c26744b6d265c3979266b7a5cd6678054' +
    '2654f927e0e9276d7a376c2ce0337727377966e94b647133776b26673736d680265437e9' +
    '4b806ce95454286c',
  'hex',
);

const say = (event) => process.stdout.write(event + '\n');
const ascii = (s) => Buffer.from(s, 'ascii');
const cat = (...parts) => Buffer.concat(parts.map((p) => Buffer.from(p)));

// CPace, draft-irtf-cfrg-cpace-13, ristretto255 and SHA-512. Every length
// here is below 128, so its LEB128 form is one byte.
const DSI = ascii('CPaceRistretto255');
const AD = { host: ascii('NatterDuo/1 host'), joiner: ascii('NatterDuo/1 joiner') };
const lvCat = (...xs) => cat(...xs.map((x) => cat([x.length], x)));
function generator(prs, sid) {
  const zpad = Buffer.alloc(128 - 1 - (1 + prs.length) - (1 + DSI.length));
  return RistrettoPoint.hashToCurve(sha512(lvCat(DSI, prs, zpad, ascii('NatterDuo/1'), sid)));
}
// A scalar from 64 random bytes, reduced; never zero.
const randomScalar = () => BigInt('0x' + crypto.randomBytes(64).toString('hex')) % RistrettoPoint.Fn.ORDER || 1n;
// The share in `msg`, lv_cat(Y, AD): decoded, checked, and its AD `ad`.
function shareOf(msg, ad) {
  const point = RistrettoPoint.fromHex(msg.subarray(1, 33)); // throws on an invalid encoding
  if (!msg.equals(lvCat(msg.subarray(1, 33), ad)) || point.equals(RistrettoPoint.ZERO)) throw new Error('bad-share');
  return point;
}
// Keys and tags for sid, both messages and the shared point K.
function schedule(sid, msgA, msgB, K) {
  const isk = sha512(cat(lvCat(cat(DSI, ascii('_ISK')), sid, K), msgA, msgB));
  const derive = (label, dkLen) => blake2b(ascii(label), { key: isk, dkLen });
  const t = cat(sid, msgA, msgB);
  return {
    ta: Buffer.from(hmac(sha512, derive('NatterDuo/1 confirm host', 64), t)),
    tb: Buffer.from(hmac(sha512, derive('NatterDuo/1 confirm joiner', 64), t)),
    hostToJoiner: derive('NatterDuo/1 stream host to joiner', 32),
    joinerToHost: derive('NatterDuo/1 stream joiner to host', 32),
  };
}

const TYPE = { hello: 1, reply: 2, confirm: 3, record: 4 };
const frame = (type, payload) => cat([type, payload.length >> 8, payload.length & 0xff], payload);

function run(socket) {
  let buffer = Buffer.alloc(0);
  let offerSeen = role !== 'host';
  const hs = {}; // the handshake: sid, scalar, host's message, keys
  let push = null;
  let pull = null;
  let done = false;
  const seal = (message, tag) => frame(TYPE.record, sodium.crypto_secretstream_xchacha20poly1305_push(push, message, null, tag));
  const end = (event) => {
    if (done) return;
    done = true;
    if (event) say(event);
    socket.end(); // our half: the other side closes its own
  };
  const finish = () => {
    if (!done) socket.write(seal(new Uint8Array(0), sodium.crypto_secretstream_xchacha20poly1305_TAG_FINAL));
    end();
  };
  const established = (header, pullKey, pushState) => {
    pull = sodium.crypto_secretstream_xchacha20poly1305_init_pull(header, pullKey);
    push = pushState;
    say('established');
    for (const line of toSend) socket.write(seal(line, sodium.crypto_secretstream_xchacha20poly1305_TAG_MESSAGE));
  };

  const onFrame = (type, payload) => {
    if (role === 'joiner' && type === TYPE.hello && !hs.keys) {
      const [sid, msgA] = [payload.subarray(0, 16), payload.subarray(16)];
      const y = randomScalar();
      const msgB = lvCat(generator(code, sid).multiply(y).toBytes(), AD.joiner);
      hs.keys = schedule(sid, msgA, msgB, shareOf(msgA, AD.host).multiply(y).toBytes());
      hs.push = sodium.crypto_secretstream_xchacha20poly1305_init_push(hs.keys.joinerToHost);
      socket.write(frame(TYPE.reply, cat(msgB, hs.keys.tb, hs.push.header)));
    } else if (role === 'joiner' && type === TYPE.confirm && hs.keys && !pull) {
      if (!payload.subarray(0, 64).equals(hs.keys.ta)) throw new Error('bad-confirmation');
      established(payload.subarray(64), hs.keys.hostToJoiner, hs.push.state);
    } else if (role === 'host' && type === TYPE.reply && !pull) {
      const msgB = payload.subarray(0, 52);
      const k = schedule(hs.sid, hs.msgA, msgB, shareOf(msgB, AD.joiner).multiply(hs.y).toBytes());
      if (payload.length !== 140 || !payload.subarray(52, 116).equals(k.tb)) throw new Error('wrong-tag');
      const p = sodium.crypto_secretstream_xchacha20poly1305_init_push(k.hostToJoiner);
      socket.write(frame(TYPE.confirm, cat(k.ta, p.header)));
      established(payload.subarray(116), k.joinerToHost, p.state);
    } else if (type === TYPE.record && pull) {
      const opened = sodium.crypto_secretstream_xchacha20poly1305_pull(pull, payload, null);
      if (!opened) throw new Error('integrity');
      say(opened.tag === sodium.crypto_secretstream_xchacha20poly1305_TAG_FINAL ? 'final' : 'line ' + Buffer.from(opened.message).toString('latin1'));
      finish();
    } else {
      throw new Error('unexpected-frame');
    }
  };

  if (role === 'joiner') socket.write(offer);
  socket.on('data', (chunk) => {
    buffer = Buffer.concat([buffer, chunk]);
    if (!offerSeen) {
      if (buffer.length < offer.length) return;
      if (!buffer.subarray(0, offer.length).equals(offer)) return end('failed no-offer');
      buffer = buffer.subarray(offer.length);
      offerSeen = true;
      hs.sid = crypto.randomBytes(16);
      hs.y = randomScalar();
      hs.msgA = lvCat(generator(code, hs.sid).multiply(hs.y).toBytes(), AD.host);
      socket.write(frame(TYPE.hello, cat(hs.sid, hs.msgA)));
    }
    while (!done && buffer.length >= 3 && buffer.length >= 3 + buffer.readUInt16BE(1)) {
      const [type, payload] = [buffer[0], buffer.subarray(3, 3 + buffer.readUInt16BE(1))];
      buffer = buffer.subarray(3 + payload.length);
      try {
        onFrame(type, payload);
      } catch (e) {
        end('failed ' + e.message);
      }
    }
  });
  socket.on('end', () => end('closed'));
  socket.on('error', () => end('closed'));
}

sodium.ready.then(() => {
  if (role === 'host') {
    const server = net.createServer({ allowHalfOpen: true }, (socket) => {
      server.close();
      run(socket);
    });
    server.listen(Number(args.port || 0), '127.0.0.1', () => say('listening ' + server.address().port));
  } else {
    run(net.connect({ port: Number(args.port), host: '127.0.0.1', allowHalfOpen: true }));
  }
});
