#pragma once

#include "engine/prompts.h"

#include <cstdio>

// The prompts of a run without windows: no one is there to read a box or type
// into the input box. Each message becomes one line on standard error
// ("caption: text", line breaks inside the text turned into spaces), the input
// box answers as if cancelled, and a request to terminate ends the run with
// exit status 1 once control is back in the event loop.
class HeadlessPrompts : public Prompts {
public:
    explicit HeadlessPrompts(std::FILE *out = stderr) : m_out(out) {}

    void showMessage(const QString &caption, const QString &text, Icon icon) override;
    std::optional<QString> inputBox(const QString &caption, const QString &prompt, const QString &value) override;
    void requestTerminate() override;

    static QString messageLine(const QString &caption, const QString &text);

private:
    std::FILE *m_out;
};
