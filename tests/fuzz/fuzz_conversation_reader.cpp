// The conversation reader on any file a person could write. A file is either
// refused with "FILE:LINE: what is wrong", LINE within the file, or read
// whole; every step read compares against any screen without fault; an
// updated expectation is read back as the same fields; an action written
// again is read back as the same action.
//
// Input: the file's content.

#include "fuzz_check.h"

#include "conversation/conversation_file.h"
#include "conversation/mismatch_report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray content = fuzzBytes(data, size);
    const QString name = QStringLiteral("f.jsonl");
    QString error;
    const std::optional<conversation::Conversation> read = conversation::parse(content, name, &error);
    if (!read) {
        FUZZ_CHECK(error.startsWith(name + QLatin1Char(':')));
        const int line = error.section(QLatin1Char(':'), 1, 1).toInt();
        FUZZ_CHECK(line >= 1 && line <= content.count('\n') + 1);
        return 0;
    }
    const QByteArray header = conversation::headerLine(read->settings, QDateTime::fromSecsSinceEpoch(0));
    conversation::Screen screen;
    screen.display = QStringList{QStringLiteral("MENU"), QString()};
    screen.leds = QStringList(4, QStringLiteral("#000000"));
    screen.printer = QStringList{QStringLiteral("TICKET(13)(10)")};
    for (const conversation::Step &step : read->steps) {
        QString again;
        if (step.kind == conversation::Step::Kind::Action) {
            FUZZ_CHECK(conversation::checkAction(step.command, step.args).isEmpty());
            const auto reread = conversation::parse(header + conversation::actionLine(step.command, step.args), name, &again);
            FUZZ_CHECK(reread && reread->steps.size() == 1);
            FUZZ_CHECK(reread->steps[0].command == step.command && reread->steps[0].args == step.args);
            continue;
        }
        const bool held = step.holds(screen);
        FUZZ_CHECK(held == step.differingFields(screen).isEmpty());
        const auto reread = conversation::parse(header + conversation::updatedExpectLine(step, screen), name, &again);
        FUZZ_CHECK(reread && reread->steps.size() == 1);
        FUZZ_CHECK(reread->steps[0].expect.keys() == step.expect.keys());
        FUZZ_CHECK(reread->steps[0].holds(screen));
        conversation::Mismatch mismatch;
        mismatch.file = name;
        mismatch.expectation = &step;
        mismatch.actual = screen;
        FUZZ_CHECK(!conversation::reportText(mismatch).isEmpty());
    }
    return 0;
}
