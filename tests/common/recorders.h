#pragma once

// Recorders that stand in for the user and for the host link in tests.

#include "engine/operations.h"
#include "engine/ports.h"
#include "engine/prompts.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTest>

#include <memory>
#include <optional>

// Records every message and answers every input box at once.
class RecordingPrompts : public Prompts {
public:
    struct Message {
        QString caption;
        QString text;
        Icon icon;
    };

    void showMessage(const QString &caption, const QString &text, Icon icon) override
    {
        messages.append({caption, text, icon});
    }

    std::optional<QString> inputBox(const QString &caption, const QString &prompt,
                                    const QString &value) override
    {
        inputCaptions.append(caption);
        inputPrompts.append(prompt);
        inputValues.append(value);
        if (inputAnswers.isEmpty())
            return std::nullopt;
        return inputAnswers.takeFirst();
    }

    void requestTerminate() override { ++terminateRequests; }

    QStringList texts() const
    {
        QStringList out;
        for (const auto &m : messages)
            out.append(m.text);
        return out;
    }

    QList<Message> messages;
    QStringList inputCaptions;
    QStringList inputPrompts;
    QStringList inputValues;
    // Answers for the next input boxes; std::nullopt is a cancel.
    QList<std::optional<QString>> inputAnswers;
    int terminateRequests = 0;
};

// Records every send towards the host, one entry per SendToHost call.
class RecordingSender : public HostSender {
public:
    void SendToHost(const QByteArray &bytes) override { sends.append(bytes); }
    QByteArray all() const
    {
        QByteArray out;
        for (const auto &s : sends)
            out += s;
        return out;
    }
    QList<QByteArray> sends;
};

// Runs work as the newest operation of operations and lets the event loop run
// until it is over; its outcome, or nothing when it is still going after timeoutMs.
inline std::optional<OperationStack::Outcome> runToEnd(OperationStack &operations, Operation work,
                                                       int timeoutMs = 10000)
{
    auto outcome = std::make_shared<std::optional<OperationStack::Outcome>>();
    operations.run(std::move(work), [outcome](OperationStack::Outcome o) { *outcome = o; });
    (void)QTest::qWaitFor([&] { return outcome->has_value(); }, timeoutMs);
    return *outcome;
}
