#include "engine/prompts.h"

void reportError(Prompts &prompts, const QString &text)
{
    prompts.showMessage(kApplicationTitle, errorReportText(text), Prompts::Icon::Error);
}

void showPlainMessage(Prompts &prompts, const QString &text)
{
    prompts.showMessage(kApplicationTitle, text, Prompts::Icon::None);
}
