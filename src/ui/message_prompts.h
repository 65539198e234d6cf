#pragma once

#include "engine/prompts.h"

class QWidget;

// Prompts shown to the user with QMessageBox and QInputDialog; each runs a
// nested modal loop, so sockets and timers go on being served meanwhile.
class MessagePrompts : public Prompts {
public:
    void showMessage(const QString &caption, const QString &text, Icon icon) override;
    std::optional<QString> inputBox(const QString &caption, const QString &prompt,
                                    const QString &value) override;
    void requestTerminate() override;
};
