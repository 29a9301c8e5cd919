#!/usr/bin/env python3
"""Hand-planted faults ("mutants"), and which tests notice them.

Each mutant is one small change to one source file: (id, file, original,
replacement). The file is named by its basename (or a path suffix where the
basename is not unique) and found by searching the source tree, so the same
list runs whatever folder the file lives in. The original snippet must occur
exactly once in that file.

For every mutant the script applies the change, rebuilds (cmake --build),
runs ctest --stop-on-failure and restores the file, always, also on Ctrl+C
or an error. A mutant is "killed" when a test fails, "survived" when the
suite passes, and "no-compile" when the build fails (such a mutant measures
nothing and is to be replaced in the list).

Which tests run: a test that does not link the mutated library cannot
kill its mutant, so each mutant's area leaves out the test programs that do
not link that area's library (SKIP below: no socket tests for a cipher
mutant, no rich-text tests for an admission mutant). The slow system tests
that prove one part against the real world run only for the area they
prove: the port mapping against a real miniupnpd and the Internet host
through the router namespaces for router mutants, the lost link through two
namespaces for link-timeout and failure-line mutants, the playback on the
real sound server for sound mutants; the encrypted conversation's tests
run for conversation mutants and the X server's for window mutants; the
man in the middle and the independent peer run for the encrypted
channel's and the secure link's mutants (areas secure and secure-link). This
keeps a mutant to seconds, not a minute, on a shared machine. Test names are matched by fragments, so the
filters hold when a test program moves to another folder.

Usage:
  scripts/mutate.py --build-dir DIR [--source-dir DIR] [--only ID,ID] [--ids-from FILE]
                    [--out FILE] [--check] [--list]
  --check   only verifies that every snippet occurs once (no build)
  --ids-from FILE  runs only the mutants marked killed in a stored table
                   (for example scripts/mutants-baseline.txt)
"""

import argparse
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# Fragments of test names, by the library they link.
NET = ["net_connections"]
MAP = ["portmapping", "internethost"]
MAPPER = ["router_portmapper"]
CIPHER = ["test_cipher"]
SECURE = ["test_secure$", "test_securepeer"]
SECURELINK = ["test_securelink"]
PLATFORM = ["test_platform"]
SOUND = ["test_sound", "chime_playback"]
UI = ["test_ui$", "test_rtf", "richtext"]
LOSTLINK = ["lostlink"]
TITLES = ["windowtitles"]
SLOW = MAP + LOSTLINK + ["chime_playback", "maninthemiddle", "independentpeer"]
# The tests left out for each area's mutants: those that cannot reach the
# area's code, and the slow ones that do not exist to prove it (the
# encrypted conversation's and the X server's tests count as such outside
# the conversation and the window).
def without(tests, keep):
    return [t for t in tests if t not in keep]


SKIP = {
    "messaging": NET + MAPPER + PLATFORM + SOUND + SLOW + SECURELINK + TITLES,
    "platform": SLOW + SECURELINK + TITLES,
    "net": CIPHER + SECURE + PLATFORM + SOUND + SLOW + SECURELINK + TITLES,
    "net-link": CIPHER + SECURE + MAPPER + PLATFORM + SOUND + without(SLOW, LOSTLINK) + SECURELINK + TITLES,
    "sound": NET + MAPPER + CIPHER + SECURE + PLATFORM + UI + without(SLOW, SOUND) + SECURELINK + TITLES,
    "conversation": NET + MAPPER + CIPHER + SECURE + PLATFORM + SOUND + UI + SLOW + TITLES,
    "conversation-link": NET + MAPPER + CIPHER + SECURE + PLATFORM + SOUND + UI + without(SLOW, LOSTLINK) + TITLES,
    "app": NET + MAPPER + CIPHER + SECURE + SECURELINK + PLATFORM + SOUND + UI + SLOW,
    "richtext": NET + MAPPER + CIPHER + SECURE + SECURELINK + PLATFORM + SOUND + SLOW + TITLES,
    "ui": NET + MAPPER + CIPHER + SECURE + SECURELINK + PLATFORM + SOUND + SLOW + TITLES,
    "logreader": NET + MAPPER + CIPHER + SECURE + SECURELINK + PLATFORM + SOUND + SLOW + TITLES,
    "router": NET + CIPHER + SECURE + SECURELINK + PLATFORM + SOUND + LOSTLINK + TITLES
    + ["maninthemiddle", "independentpeer"],
    # The encrypted channel and the conversation's secure link: their own
    # tests, the whole windows that hold encrypted conversations, the man in
    # the middle and the independent peer.
    "secure": NET + MAPPER + CIPHER + PLATFORM + SOUND + UI + MAP + LOSTLINK + ["chime_playback"] + TITLES,
    "secure-link": NET + MAPPER + CIPHER + SECURE + PLATFORM + SOUND + UI + MAP + LOSTLINK + ["chime_playback"]
    + TITLES,
}

# (id, area, file, original, replacement)
MUTANTS = [
    # --- messaging: the cipher's tables and parity, the code page
    ("cipher-even-table", "messaging", "cipher.cpp", "0xE9, 0x43, 0x20, 0x4A,", "0xE9, 0x43, 0x4A, 0x20,"),
    ("cipher-odd-table", "messaging", "cipher.cpp", "0x26, 0x52, 0x59, 0x22,", "0x26, 0x59, 0x52, 0x22,"),
    ("cipher-encode-parity", "messaging", "cipher.cpp", "(kept % 2 == 0) ? kEncodeOdd[c]", "(kept % 2 == 1) ? kEncodeOdd[c]"),
    ("cipher-decode-counts-kept", "messaging", "cipher.cpp", "(k % 2 == 0) ? kDecodeOdd[c]", "(kept % 2 == 0) ? kDecodeOdd[c]"),
    ("cipher-set-euro", "messaging", "cipher.cpp", "0xD6, 0xC4, 0x80})", "0xD6, 0xC4, 0x81})"),
    ("cipher-entry-off-by-one", "messaging", "cipher.cpp", "return i == kNone ? 0 : i + 1;", "return i == kNone ? 0 : i;"),
    ("cp1252-dashes", "messaging", "codec1252.cpp", "0x2013, 0x2014,", "0x2014, 0x2013,"),
    ("cp1252-nbsp", "messaging", "codec1252.cpp", "(u >= 0xA0 && u <= 0xFF)", "(u >= 0xA1 && u <= 0xFF)"),
    ("cp1252-unmappable", "messaging", "codec1252.cpp", "b < 0 ? kUnmappable :", "b < 0 ? ' ' :"),
    # --- conversation: admission, notices, caps, failure lines, commands
    ("admit-second-accept", "conversation", "admission.cpp", "if (listening->ActiveConnections() != 1)\n        return;", "if (listening->ActiveConnections() < 1)\n        return;"),
    ("admit-status-text", "conversation", "admission.cpp", 'QStringLiteral("Connected from: ")', 'QStringLiteral("Connected from ")'),
    ("admit-absent-notice", "conversation", "admission.cpp", "if (m_view.absentDown())\n        listening", "if (!m_view.absentDown())\n        listening"),
    ("admit-busy-three", "conversation", "admission.cpp", "if (n == 2 || n == 3) {", "if (n == 2) {"),
    ("admit-busy-notice", "conversation", "admission.cpp", "extra->SendText(notices::kBusy.toByteArray());", ""),
    ("admit-multiple-bound", "conversation", "admission.cpp", "} else if (n > 3) {", "} else if (n > 4) {"),
    ("admit-listening-again", "conversation", "admission.cpp", "ActiveConnections() == 1)\n        m_view.setStatus", "ActiveConnections() == 0)\n        m_view.setStatus"),
    ("admit-error-other-socket", "conversation-link", "admission.cpp", "listening->Connections(0) == socket)", "listening->Connections(0) != socket)"),
    ("chat-separator", "conversation", "chatlines.cpp", 'QStringLiteral(": ")', 'QStringLiteral(":")'),
    ("chat-outgoing-full", "conversation", "chatlines.cpp", "if (carrier->OutgoingFull()) {", "if (false) {"),
    ("chat-own-colour", "conversation", "chatlines.cpp", "transcript.setColour(colours::kOwn);", "transcript.setColour(colours::kPeer);"),
    ("chat-peer-colour", "conversation", "chatlines.cpp", "transcript.setColour(colours::kPeer);", "transcript.setColour(colours::kOwn);"),
    ("chat-received-cap", "conversation", "chatlines.cpp", "if (socket->BytesReceived() > kReceivedCap) {", "if (socket->BytesReceived() > 2 * kReceivedCap) {"),
    ("chat-transcript-full", "conversation", "chatlines.cpp", "if (transcript.full()) {", "if (false) {"),
    ("chat-sends-empty", "conversation", "chatlines.cpp", "if (!text.isEmpty() && SendLine(text)", "if (SendLine(text)"),
    ("chat-entry-kept", "conversation", "chatlines.cpp", "    m_view.setEntryText(QString());\n", ""),
    ("failure-repeats-shown", "conversation-link", "failurelines.cpp", "kRepeatWindowMs = 5000", "kRepeatWindowMs = 0"),
    ("failure-timeout-code", "conversation-link", "failurelines.cpp", "if (errorCode == ETIMEDOUT)", "if (errorCode == ECONNRESET)"),
    ("failure-closed-text", "conversation", "failurelines.cpp", '"Connection closed: %1."', '"Connection closed %1."'),
    ("port-upper-bound", "conversation", "conversationcontrol.cpp", "*value > 65535)", "*value > 65536)"),
    ("port-hex-digit", "conversation", "conversationcontrol.cpp", "if (u >= u'a' && u <= u'f')", "if (u >= u'a' && u <= u'e')"),
    ("port-default", "conversation", "conversationcontrol.cpp", 'QString value = QStringLiteral("6767");', 'QString value = QStringLiteral("6768");'),
    ("port-while-listening", "conversation", "conversationcontrol.cpp", "if (m_client.Active() || m_server.Active()) {", "if (m_client.Active()) {"),
    ("connect-one-char-host", "conversation", "conversationcontrol.cpp", "host.size() > 1) {", "host.size() > 0) {"),
    ("absent-returned-line", "conversation", "conversationcontrol.cpp", 'transcript.appendLine(QStringLiteral("User returned"));', ""),
    ("absent-only-host", "conversation", "conversationcontrol.cpp", "m_view.setAbsentDown(false); // only a host can be absent", ""),
    ("client-timeout-attempt", "conversation-link", "conversationcontrol.cpp", "if (!attempt && errorCode == ETIMEDOUT) {", "if ((attempt || !attempt) && errorCode == ETIMEDOUT) {"),
    ("client-error-text", "conversation", "conversationcontrol.cpp", 'QStringLiteral("Error connecting to:")', 'QStringLiteral("Error connecting to: ")'),
    # --- app: the transcript's colours and bound, the window, the wiring
    ("view-colour-property", "app", "transcriptview.cpp", "static_cast<uint>(m_colour & 0xFFFFFFu)", "static_cast<uint>(m_colour & 0xFFFF00u)"),
    ("view-foreground", "app", "transcriptview.cpp", "chars.setForeground(QColor::fromRgb(m_colour));", "chars.setForeground(QColor::fromRgb(0));"),
    ("view-max-characters", "app", "messaging/transcript.h", "kTranscriptCharacters = 8 * 1024 * 1024", "kTranscriptCharacters = 16 * 1024 * 1024"),
    ("view-line-overhead", "app", "transcriptview.cpp", "m_characters += text.size() + 1;", "m_characters += text.size();"),
    ("view-newline-kept", "app", "transcriptview.cpp", ".replace(QLatin1Char('\\n'), QLatin1Char(' '));\n    cursor", ";\n    cursor"),
    ("view-clear-count", "app", "transcriptview.cpp", "    resetEnd();\n    m_empty = true;", "    QTextCursor(document()).movePosition(QTextCursor::End);\n    m_empty = true;"),
    ("wiring-attention-colour", "app", "wiring.cpp", "if (colour == colours::kPeer)", "if (colour == colours::kOwn)"),
    ("wiring-attention-active", "app", "wiring.cpp", "if (!m_window.isActiveWindow())", "if (m_window.isActiveWindow())"),
    ("form-enter-key", "app", "natterform.cpp", "if (watched == Entry && event->type() == QEvent::KeyPress)", "if (watched == Entry && event->type() == QEvent::KeyRelease)"),
    # --- rich text: the writer's escapes, the reader and its code pages
    ("rtf-escape-backslash", "richtext", "rtf.cpp", "if (u == u'\\\\' || u == u'{' || u == u'}') {", "if (u == u'{' || u == u'}') {"),
    ("rtf-tab", "richtext", "rtf.cpp", 'out += "\\\\tab ";', 'out += "\\\\tab";'),
    ("rtf-del-escape", "richtext", "rtf.cpp", "} else if (u < 0x20 || u == 0x7F) {", "} else if (u < 0x20) {"),
    ("rtf-high-bytes", "richtext", "rtf.cpp", "b >= 0x80) {", "b >= 0x81) {"),
    ("rtf-unicode-signed", "richtext", "rtf.cpp", "static_cast<std::int16_t>(u)", "static_cast<std::uint16_t>(u)"),
    ("rtf-colour-green", "richtext", "rtf.cpp", '"\\\\green" + QByteArray::number(qGreen(c))', '"\\\\green" + QByteArray::number(qBlue(c))'),
    ("rtf-colour-index", "richtext", "rtf.cpp", "table.indexOf(line.colour & 0xFFFFFF) + 1", "table.indexOf(line.colour & 0xFFFFFF)"),
    ("rtf-plain-fallback", "richtext", "rtf.cpp", "if (utf8.hasError())\n        text = cp1252::toUnicode(data);", "if (false)\n        text = cp1252::toUnicode(data);"),
    ("codepage-1251-name", "richtext", "codepage.cpp", '{1251, "CP1251"}', '{1251, "CP1250"}'),
    ("codepage-charset-204", "richtext", "codepage.cpp", "{204, 1251}", "{204, 1250}"),
    ("codepage-symbol", "richtext", "codepage.cpp", "{0, 1252},   {2, kSymbol}", "{0, 1252},   {2, 1252}"),
    ("codepage-bullet", "richtext", "codepage.cpp", ".replace(QChar(0xB7), QChar(0x2022))", ""),
    ("codepage-carry", "richtext", "codepage.cpp", "} else if (errno == EINVAL && carry) {", "} else if (errno == EINVAL && (carry || !carry)) {"),
    ("codepage-replacement", "richtext", "codepage.cpp", "put(u'\\uFFFD');", "put(u'?');"),
    ("codepage-unknown-listed", "richtext", "codepage.cpp", "m_unknown.append(codePage);", "m_unknown.append(0);"),
    ("reader-delimiter-space", "richtext", "rtfreader.cpp", "        if (peek() == ' ')\n            ++m_pos;\n        if (negative)", "        if (negative)"),
    ("reader-leading-bytes", "richtext", "rtfreader.cpp", "m_pos = std::max<qsizetype>(m_data.indexOf('{'), 0);", "m_pos = 0;"),
    # --- platform: the file helper's failure paths, the exception report
    ("files-folder", "platform", "files.cpp", "if (info.isDir())\n        return failed(FileResult::Failure::Folder", "if (false)\n        return failed(FileResult::Failure::Folder"),
    ("files-not-regular", "platform", "files.cpp", "if (!info.isFile())\n        return failed(FileResult::Failure::NotRegular", "if (false)\n        return failed(FileResult::Failure::NotRegular"),
    ("files-write-verb", "platform", "files.cpp", 'verb = "write";', 'verb = "save";'),
    ("files-bounded-size", "platform", "files.cpp", "if (result.data.size() > maxSize)", "if (result.data.size() > maxSize + 1)"),
    ("files-replace-folder", "platform", "files.cpp", "if (target.exists() && (!target.isFile() || !target.isWritable())) {", "if (target.exists() && !target.isWritable()) {"),
    ("report-full-stop", "platform", "exceptions.cpp", "if (!message.isEmpty() && message.back() > QLatin1Char('.'))", "if (!message.isEmpty())"),
    # --- net: address formatting, the connecting order, link timeouts, sockets
    ("addr-equal-runs", "net", "socketaddress.cpp", "if (length > bestLength) {", "if (length >= bestLength) {"),
    ("addr-single-zero", "net", "socketaddress.cpp", "int bestLength = 1;", "int bestLength = 0;"),
    ("addr-v4-mapped", "net", "socketaddress.cpp", "if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {", "if (false) {"),
    ("addr-zone-name", "net", "socketaddress.cpp", "if (::if_indextoname(scope, name))", "if (false && ::if_indextoname(scope, name))"),
    ("addr-brackets", "net", "socketaddress.cpp", "const bool bracketed = t.startsWith(QLatin1Char('[')) && t.endsWith(QLatin1Char(']'));", "const bool bracketed = false;"),
    ("lookup-order", "net", "hostlookup.cpp", "a.family() == AF_INET6 ? v6 : v4;", "a.family() == AF_INET6 ? v4 : v6;"),
    ("lookup-duplicates", "net", "hostlookup.cpp", "if (!family.contains(a))", "if (true)"),
    ("link-user-timeout", "net-link", "linktimeouts.cpp", "    setOption(handle, IPPROTO_TCP, TCP_USER_TIMEOUT, t.userTimeoutMs);\n", ""),
    ("link-keepalive-off", "net-link", "linktimeouts.cpp", "setOption(handle, SOL_SOCKET, SO_KEEPALIVE, 1);", "setOption(handle, SOL_SOCKET, SO_KEEPALIVE, 0);"),
    ("socket-read-chunk", "net", "winsocket.cpp", "const int n = std::min(ReceiveBuf(nullptr, -1), kMaxReadChunk);", "const int n = ReceiveBuf(nullptr, -1);"),
    ("socket-bytes-received", "net", "winsocket.cpp", "m_bytesReceived += r;", "m_bytesReceived += r / 2;"),
    ("socket-remote-after-close", "net", "winsocket.cpp", "return m_connected ? m_remoteAddress : QString();", "return m_remoteAddress;"),
    ("server-descriptors-out", "net", "serversocket.cpp", "if (errno == EMFILE || errno == ENFILE)", "if (false)"),
    # --- router: the port mapping, its removal and renewal, the My IP option
    ("map-untick-keeps", "router", "portmapping.cpp", "            if (router)\n                router->remove();\n            router.reset();", "            router.reset();"),
    ("map-exit-keeps", "router", "portmapping.cpp", "        if (router)\n            router->remove();\n        std::lock_guard", "        std::lock_guard"),
    ("map-renew-late", "router", "portmapping.cpp", "(m_shared->lease) / 2);", "(m_shared->lease) * 4);"),
    ("map-renew-never", "router", "portmapping.cpp", "    if (outcome.kind == PortMappingOutcome::Kind::Open)\n        m_renewTimer->start();\n", ""),
    ("map-stale-answer", "router", "portmapping.cpp", "if (generation != m_generation)", "if (generation > m_generation)"),
    ("map-private-range", "router", "portmapping.cpp", "inRange(a, 0xAC100000, 12)", "inRange(a, 0xAC100000, 16)"),
    ("map-open-text", "router", "portmapping.cpp", '"From the Internet: %1 port %2"', '"From the Internet: %1:%2"'),
    ("upnp-remove", "router", "routerclients.cpp", '        UPNP_DeletePortMapping(m_urls.controlURL, m_data.first.servicetype, port.constData(), "TCP", nullptr);\n', ""),
    ("natpmp-remove", "router", "routerclients.cpp", "if (sendnewportmappingrequest(&m_natpmp, NATPMP_PROTOCOL_TCP, m_internalPort, 0, 0) >= 0)", "if (false)"),
    ("router-not-public", "router", "routerclients.cpp", "if (!isPublicAddress(external))", "if (false)"),
    ("option-unticked-maps", "router", "shellactions.cpp", "const quint16 wanted = m_checked ? m_port : 0;", "const quint16 wanted = m_port;"),
    ("myip-order", "ui", "shellactions.cpp", "return others + loopbacks + ipv6;", "return loopbacks + others + ipv6;"),
    ("myip-not-running", "ui", "shellactions.cpp", "if (!a.up || !a.running ||", "if (!a.up ||"),
    ("myip-link-local", "ui", "shellactions.cpp", "!a.isLoopback() &&\n           !a.isLinkLocal() &&", "!a.isLoopback() &&"),
    # --- ui: transcript commands, the log folder, help
    ("log-name-date", "ui", "transcriptcommands.cpp", 'date.toString(QStringLiteral("dd-MM-yy"))', 'date.toString(QStringLiteral("dd-MM-yyyy"))'),
    ("save-stream-error", "ui", "transcriptcommands.cpp", "if (result.failure == FileResult::Failure::Write)", "if (false)"),
    ("save-overwrite-prompt", "ui", "transcriptcommands.cpp", "request.overwritePrompt = true;", "request.overwritePrompt = false;"),
    ("readlogs-folder", "ui", "transcriptcommands.cpp", "{}, m_system.programDirectory());", "{}, QString());"),
    ("logfolder-installed", "ui", "logfolder.cpp", "program.isWritable() && !isInstalled)", "program.isWritable() && (isInstalled || !isInstalled))"),
    ("help-load-stream", "ui", "helpunit.cpp", "if (result.failure == FileResult::Failure::Read)", "if (false)"),
    ("help-missing-note", "ui", "helpunit.cpp", "if (help.failure == FileResult::Failure::Missing) {", "if (false) {"),
    # --- secure: the encrypted channel's checks and the secure link's decisions
    ("secure-record-unchecked", "secure", "securechannel.cpp", "nullptr, 0) != 0)\n            return fail(out, Failure::Integrity);\n        if (tag == crypto_secretstream_xchacha20poly1305_TAG_MESSAGE) {", "nullptr, 0) != 0 && false)\n            return fail(out, Failure::Integrity);\n        if (tag != crypto_secretstream_xchacha20poly1305_TAG_FINAL) {"),
    ("secure-replay", "secure", "securechannel.cpp", "crypto_secretstream_xchacha20poly1305_pull(&pull, bytes(line)", "crypto_secretstream_xchacha20poly1305_pull(std::make_unique<crypto_secretstream_xchacha20poly1305_state>(pull).get(), bytes(line)"),
    ("secure-joiner-tag-unchecked", "secure", "securechannel.cpp", "if (!right) {", "if (!right && false) {"),
    ("secure-host-tag-unchecked", "secure", "securechannel.cpp", "if (crypto_verify_64(expectedHostTag.data(), bytes(payload)) != 0)", "if (false)"),
    ("secure-need-code", "secure", "securechannel.cpp", "    if (code.isEmpty())\n            return fail(out, Failure::NeedCode);\n", ""),
    ("secure-reply-cap", "secure", "securechannel.cpp", "return type == kReply ? kReplyBytes : -1;", "return type == kReply ? kMaxPayload : -1;"),
    ("secure-record-split", "secure", "securechannel.cpp", "kMaxRecordLine = kMaxPayload - kRecordOverhead;", "kMaxRecordLine = kMaxPayload - kRecordOverhead + 1;"),
    ("secure-final-unseen", "secure", "securechannel.cpp", "            out.finished = true;\n", ""),
    ("secure-one-stream-key", "secure", "securechannel.cpp", 'one(hostToJoiner.data(), hostToJoiner.size(), "NatterDuo/1 stream host to joiner")', 'one(hostToJoiner.data(), hostToJoiner.size(), "NatterDuo/1 stream joiner to host")'),
    ("secure-downgrade-old-host", "secure-link", "securelink.cpp", "} else if (!m_joinCode.isEmpty()) {\n        closeRefused(interfering());", "} else if (false) {\n        closeRefused(interfering());"),
    ("secure-downgrade-silence", "secure-link", "securelink.cpp", "if (m_role == Role::Joiner && !m_joinCode.isEmpty())\n        closeRefused(interfering());", "if (false)\n        closeRefused(interfering());"),
    ("secure-plain-unagreed", "secure-link", "securelink.cpp", "if (m_phase == Phase::Plain && m_plainAgreed)\n            return cipher::encode(line);", "if (m_phase == Phase::Plain)\n            return cipher::encode(line);"),
    ("secure-only-encrypted", "secure-link", "securelink.cpp", "    if (m_view.onlyEncrypted()) {\n        closeRefused(", "    if (false) {\n        closeRefused("),
    # --- sound: the wave image
    ("wave-frame-bytes", "sound", "wave.cpp", "frameBytes = channels * bits / 8;", "frameBytes = channels * bits / 4;"),
    ("wave-block-align", "sound", "wave.cpp", "if (le16(image, body + 12) != frameBytes) // block align", "if (false) // block align"),
    ("wave-odd-chunk", "sound", "wave.cpp", "at = body + qsizetype(chunkSize) + qsizetype(chunkSize & 1);", "at = body + qsizetype(chunkSize);"),
    ("wave-short-count", "sound", "wave.cpp", "if (count.size() != 4)\n        throw Exception(kReadError);", "if (false)\n        throw Exception(kReadError);"),
    ("sound-format-check", "sound", "qtsoundservice.cpp", "if (device.isNull() || !device.isFormatSupported(pcm->format))", "if (device.isNull())"),
    # --- logreader: loading and saving logs
    ("loader-folder-text", "logreader", "logloader.cpp", 'is a folder, not a log file.', 'is a directory, not a log file.'),
    ("loader-size-mb", "logreader", "logloader.cpp", ".arg(QFileInfo(path).size() / (1024 * 1024));", ".arg(QFileInfo(path).size() / 1024);"),
    ("loader-plain-lf", "logreader", "logloader.cpp", "out += '\\n';", 'out += "\\r\\n";'),
    ("reader-not-rich-note", "logreader", "logreaderwindow.cpp", "    if (!log.rich)\n        text +=", "    if (log.rich)\n        text +="),
    ("reader-find-wrap", "logreader", "logreaderwindow.cpp", "m_page->moveCursor(backwards ? QTextCursor::End : QTextCursor::Start);", "m_page->moveCursor(backwards ? QTextCursor::Start : QTextCursor::End);"),
]


# Where a later change rewrote or moved the code a mutant was planted in,
# the same fault in the code as it is now: tried, in order, when the
# snippet above is not found once. The table marks such a mutant with "*".
ALTERNATIVES = {
    "admit-second-accept": [("admission.cpp",
                             "if (listening->ActiveConnections() != 1 || listening->Connections(0) != socket || ",
                             "if (")],
    "admit-absent-notice": [("admission.cpp", "hostAccepted(listening->Connections(0), m_view.absentDown());",
                             "hostAccepted(listening->Connections(0), !m_view.absentDown());")],
    "admit-listening-again": [("admission.cpp", "Connections(0) == socket)\n        m_view.setStatus",
                               "Connections(0) != socket)\n        m_view.setStatus")],
    "admit-error-other-socket": [("admission.cpp", "Connections(0) == socket) {\n        m_lines.failures()",
                                  "Connections(0) != socket) {\n        m_lines.failures()")],
    "chat-separator": [("chatlines.cpp", 'cipher::encode(cp1252::fromUnicode(QString(userName + QStringLiteral(": ")',
                        'cipher::encode(cp1252::fromUnicode(QString(userName + QStringLiteral(":")')],
    "chat-outgoing-full": [("chatlines.cpp", "if (m_link.outgoingFull(carrier)) {", "if (false) {")],
    "chat-peer-colour": [("securelink.cpp", "transcript.setColour(colours::kPeer);\n    transcript.appendLine(cp1252",
                          "transcript.setColour(colours::kOwn);\n    transcript.appendLine(cp1252")],
    "chat-received-cap": [("chatlines.cpp", "if (m_link.receivedText(socket) > kReceivedCap) {",
                           "if (m_link.receivedText(socket) > 2 * kReceivedCap) {")],
    "chat-transcript-full": [("chatlines.cpp", "} else if (m_view.transcript().full() && socket->ReceiveBuf(nullptr, -1) == 0) {",
                              "} else if (false) {")],
    "view-newline-kept": [("transcriptview.cpp", ".replace(QLatin1Char('\\n'), QLatin1Char(' '));", ";")],
    "map-private-range": [("mappingoutcome.cpp", "inRange(a, 0xAC100000, 12)", "inRange(a, 0xAC100000, 16)")],
    "map-open-text": [("mappingoutcome.cpp", '"From the Internet: %1 port %2"', '"From the Internet: %1:%2"')],
    "option-unticked-maps": [("routerportoption.cpp", "const quint16 wanted = m_checked ? m_port : 0;",
                              "const quint16 wanted = m_port;")],
    "reader-find-wrap": [("logreaderwindow.cpp",
                          "end.movePosition(backwards ? QTextCursor::End : QTextCursor::Start);",
                          "end.movePosition(backwards ? QTextCursor::Start : QTextCursor::End);"),
                         ("logreaderwindow.cpp", "m_page->moveCursor(QTextCursor::Start);",
                          "m_page->moveCursor(QTextCursor::End);")],
}

SKIP_DIRS = {".git", "tests", "bench", "build", "node_modules"}


def source_files():
    for dirpath, dirnames, filenames in os.walk(ROOT):
        dirnames[:] = [d for d in dirnames if d not in SKIP_DIRS and not d.startswith("build")]
        for name in filenames:
            if name.endswith((".cpp", ".h")):
                yield Path(dirpath) / name


def resolve(name):
    suffix = "/" + name
    found = [p for p in source_files() if str(p).endswith(suffix)]
    if len(found) != 1:
        raise LookupError(f"{name}: {len(found)} files match")
    return found[0]


def locate(mutant):
    """The file, snippet and replacement of a mutant in this tree, and
    whether an alternative was needed."""
    mid, area, name, original, replacement = mutant
    if area not in SKIP:
        raise LookupError(f"{mid}: no area {area}")
    problems = []
    for n, (file, snippet, instead) in enumerate([(name, original, replacement)] + ALTERNATIVES.get(mid, [])):
        try:
            path = resolve(file)
        except LookupError as e:
            problems.append(str(e))
            continue
        count = path.read_text(encoding="utf-8").count(snippet)
        if count == 1:
            return path, snippet, instead, n > 0
        problems.append(f"the snippet occurs {count} times in {path.relative_to(ROOT)}")
    raise LookupError(f"{mid}: " + "; ".join(problems))


def check(mutant):
    return locate(mutant)[0]


def exclude_regex(area):
    return "|".join(sorted(set(SKIP[area])))


def run(cmd, timeout):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=timeout)


def failed_tests(output):
    names = []
    in_list = False
    for line in output.splitlines():
        if line.startswith("The following tests FAILED"):
            in_list = True
            continue
        if in_list:
            m = re.match(r"\s*\d+ - (\S+) \(", line)
            if m:
                names.append(m.group(1))
    if not names:
        names = re.findall(r"Test\s+#\d+: (\S+) \.+\s*\*", output)
    return names


def try_mutant(mutant, build_dir, jobs, also_skip="", test_timeout=120):
    area = mutant[1]
    path, original, replacement, _moved = locate(mutant)
    saved = path.read_bytes()
    started = time.monotonic()
    try:
        path.write_text(saved.decode("utf-8").replace(original, replacement, 1), encoding="utf-8")
        build = run(["cmake", "--build", str(build_dir), "-j", str(jobs)], 1800)
        if build.returncode != 0:
            return "no-compile", "", time.monotonic() - started
        cmd = ["ctest", "--test-dir", str(build_dir), "--stop-on-failure", "-j", str(jobs), "--timeout",
               str(test_timeout)]
        skip = "|".join(r for r in [exclude_regex(area), also_skip] if r)
        if skip:
            cmd += ["-E", skip]
        tests = run(cmd, 1800)
        if tests.returncode == 0:
            return "survived", "", time.monotonic() - started
        return "killed", ",".join(failed_tests(tests.stdout)) or "?", time.monotonic() - started
    finally:
        path.write_bytes(saved)


def killed_ids(table):
    ids = set()
    for line in Path(table).read_text().splitlines():
        cells = line.split()
        if len(cells) >= 2 and cells[1] == "killed":
            ids.add(cells[0].rstrip("*"))
    return ids


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", type=Path)
    parser.add_argument("--source-dir", type=Path, help="the tree to mutate (default: this script's)")
    parser.add_argument("--only", default="")
    parser.add_argument("--ids-from")
    parser.add_argument("--out")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--also-skip", default="", help="a regular expression of more tests to leave out")
    parser.add_argument("--test-timeout", type=int, default=120, help="seconds each test program may take")
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--list", action="store_true")
    args = parser.parse_args()
    global ROOT
    if args.source_dir:
        ROOT = args.source_dir.resolve()

    ids = [m[0] for m in MUTANTS]
    if len(ids) != len(set(ids)):
        sys.exit("duplicate mutant ids")
    chosen = MUTANTS
    if args.only:  # in the order given
        by_id = {m[0]: m for m in MUTANTS}
        chosen = [by_id[i] for i in args.only.split(",") if i in by_id]
    if args.ids_from:
        wanted = killed_ids(args.ids_from)
        chosen = [m for m in chosen if m[0] in wanted]

    if args.list or args.check:
        bad = 0
        for m in chosen:
            try:
                path = check(m)
                if args.list:
                    print(f"{m[0]:28} {m[1]:13} {path.relative_to(ROOT)}")
            except LookupError as e:
                print(e)
                bad += 1
        print(f"{len(chosen)} mutants, {bad} unusable")
        sys.exit(1 if bad else 0)

    if not args.build_dir:
        sys.exit("--build-dir is needed")
    # SIGTERM ends the run the way Ctrl+C does, so the file is restored.
    signal.signal(signal.SIGTERM, lambda *_: (_ for _ in ()).throw(KeyboardInterrupt()))

    out = open(args.out, "w", encoding="utf-8") if args.out else None

    def emit(line):
        print(line, flush=True)
        if out:
            out.write(line + "\n")
            out.flush()

    emit(f"# mutants on {ROOT.name} at {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}")
    emit(f"{'id':28} {'result':10} {'area':13} {'seconds':>7}  killed by")
    counts = {}
    for m in chosen:
        try:
            result, killer, seconds = try_mutant(m, args.build_dir, args.jobs, args.also_skip, args.test_timeout)
            moved = locate(m)[3]
        except LookupError:
            result, killer, seconds, moved = "gone", "", 0, False
        counts[result] = counts.get(result, 0) + 1
        emit(f"{m[0] + ('*' if moved else ''):28} {result:10} {m[1]:13} {seconds:7.0f}  {killer}")
    summary = ", ".join(f"{k} {v}" for k, v in sorted(counts.items()))
    emit(f"# {len(chosen)} mutants: {summary}")
    # Leave the tree built as it is now.
    run(["cmake", "--build", str(args.build_dir), "-j", str(args.jobs)], 1800)


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit("interrupted: the mutated file was restored")
