// Recording a conversation: "record.start" (a new file, "replace":true to
// write over an existing one) and "record.stop", on the terminal the request
// names. The requests that act meanwhile are recorded as the operator's
// actions they run, with what the terminal showed before each.

#include "control/control_command.h"
#include "control/control_member.h"
#include "control/conversation_recording.h"
#include "terminal/terminal.h"


namespace {

struct StartArgs {
    QString file;
    bool replace;
};

StartArgs readStart(const CommandContext &c)
{
    const QString file = control::stringArg(c.args(), QStringLiteral("file"));
    if (file.isEmpty())
        control::badArgument(QStringLiteral("\"file\" names the conversation file"));
    return {file, control::boolArg(c.args(), QStringLiteral("replace"), false)};
}

ConversationRecording &recordingOf(CommandContext &c)
{
    if (!c.member.recording)
        c.member.recording = std::make_unique<ConversationRecording>(c.terminal());
    return *c.member.recording;
}

QJsonObject runStart(CommandContext &c, const StartArgs &a)
{
    ConversationRecording &recording = recordingOf(c);
    if (recording.isRecording())
        throw ControlError{QStringLiteral("recording"),
                           QStringLiteral("a conversation is being recorded to \"%1\"; stop it first")
                               .arg(recording.path())};
    QString error;
    NewFile::Refusal refusal = NewFile::Refusal::None;
    // A relative name lives in the terminal's working folder, like its other files.
    if (!recording.start(c.terminal().workingFolder(), a.file, a.replace, &error, &refusal))
        throw ControlError{refusal == NewFile::Refusal::Exists     ? QStringLiteral("file_exists")
                           : refusal == NewFile::Refusal::NotAFile ? QStringLiteral("not_a_file")
                                                                   : QStringLiteral("record_failed"),
                           error};
    return {{QStringLiteral("file"), recording.path()}};
}

QJsonObject runStop(CommandContext &c)
{
    ConversationRecording &recording = recordingOf(c);
    if (!recording.isRecording())
        throw ControlError{QStringLiteral("not_recording"), QStringLiteral("no conversation is being recorded")};
    QString error;
    if (!recording.stop(&error))
        throw ControlError{QStringLiteral("record_failed"), error};
    return {{QStringLiteral("file"), recording.path()}, {QStringLiteral("actions"), recording.actions()}};
}

} // namespace

namespace control {

ControlCommands recordCommands()
{
    return {
        ControlCommand::of(QStringLiteral("record.start"), readStart, runStart),
        ControlCommand::of(QStringLiteral("record.stop"), runStop),
    };
}

} // namespace control
