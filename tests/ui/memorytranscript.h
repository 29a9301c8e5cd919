#pragma once

#include "messaging/transcript.h"

namespace natter::test {

// The transcript as a plain list: what the transcript commands see of it.
class MemoryTranscript final : public ITranscript {
public:
    QList<TranscriptLine> content;
    QRgb colour = 0;
    int clears = 0;

    void setColour(QRgb c) override { colour = c; }
    void appendLine(const QString &line) override { content.append({line, colour}); }
    void clear() override
    {
        ++clears;
        content.clear();
    }
    QList<TranscriptLine> lines() const override { return content; }
};

} // namespace natter::test
