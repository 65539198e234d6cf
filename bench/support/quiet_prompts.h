#pragma once

// The user of the in-process benchmarks: keeps any message (a run should show
// none) and cancels input boxes, so nothing ever waits for a person.

#include "engine/prompts.h"

#include <QStringList>

namespace bench
{

class QuietPrompts : public Prompts
{
public:
    void showMessage(const QString &, const QString &text, Icon) override { messages.append(text); }
    std::optional<QString> inputBox(const QString &, const QString &, const QString &) override { return {}; }
    void requestTerminate() override {}
    QStringList messages;
};

} // namespace bench
