#pragma once

// The fixture of the tests that show the program's windows or run its
// commands beside a program directory: the scripted services, with a fresh
// temporary folder as the program directory; and a transcript kept in memory.

#include "messaging/transcript.h"
#include "tests/support/fakeservices.h"

#include <QTemporaryDir>

namespace natter::test {

struct ProgramFolder {
    FakeServices fakes;
    QTemporaryDir dir;

    ProgramFolder() { fakes.system.directory = dir.path() + QLatin1Char('/'); }
};

class MemoryTranscript final : public ITranscript {
public:
    QList<TranscriptLine> content;
    QRgb colour = 0;
    QList<TranscriptLine> lines() const override { return content; }
    void setColour(QRgb c) override { colour = c; }
    void appendLine(const QString &line) override { content.append({line, colour}); }
    void clear() override { content.clear(); }
};

} // namespace natter::test
