#pragma once

#include "engine/errors.h"

#include <QString>

#include <optional>
#include <utility>

// Everything that asks the user something or tells the user something goes
// through Prompts: the windows use message boxes and an input box (nested modal
// loops); tests use a recorder that answers at once, so no test ever blocks.
class Prompts {
public:
    enum class Icon { None, Error, Information, Warning };

    virtual ~Prompts() = default;

    // A message box with one OK button.
    virtual void showMessage(const QString &caption, const QString &text, Icon icon) = 0;

    // A modal input box; std::nullopt when the user cancels.
    virtual std::optional<QString> inputBox(const QString &caption, const QString &prompt,
                                            const QString &value) = 0;

    // Ends the application when control next returns to the event loop.
    virtual void requestTerminate() = 0;
};

// The application title, caption of the general error report and of plain messages.
inline const QString kApplicationTitle = QStringLiteral("Ethernet");

// The general error report: caption "Ethernet", error icon, OK, the text with
// the full-stop rule of errorReportText().
void reportError(Prompts &prompts, const QString &text);

// A plain message under the application title, without icon.
void showPlainMessage(Prompts &prompts, const QString &text);

// Runs one event's work. An AppError goes to the general error report, a
// SilentAbort ends the work without a message; nothing else is caught.
// Returns true when the work ran to its end.
template <typename Work>
bool guarded(Prompts &prompts, Work &&work)
{
    try {
        std::forward<Work>(work)();
        return true;
    } catch (const AppError &error) {
        reportError(prompts, error.text());
    } catch (const SilentAbort &) {
    }
    return false;
}
