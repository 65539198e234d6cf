// Subsystem library; its code lands with its issue.
namespace shell_placeholder { int anchor = 0; }
