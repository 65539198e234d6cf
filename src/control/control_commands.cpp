#include "control/control_command.h"

namespace control {

ControlCommands builtInCommands()
{
    ControlCommands all;
    for (const ControlCommands &theme : {operatorCommands(), stateCommands(), waitCommands(), eventCommands(),
                                         faultCommands(), traceCommands(), recordCommands()})
        all.insert(all.end(), theme.begin(), theme.end());
    return all;
}

} // namespace control
