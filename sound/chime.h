#pragma once

#include <QByteArray>

namespace natter {

// The connection chime as the program carries it: a 4-byte little-endian
// image count (12546) followed by the 12546-byte RIFF/WAVE image (mono, 16-bit
// PCM, 32000 samples per second, 6251 samples). The bytes live in the
// program's read-only data; the array returned refers to them without a copy.
QByteArray embeddedChimeStoredForm();

} // namespace natter
