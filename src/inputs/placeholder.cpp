// Subsystem library; its code lands with its issue.
namespace inputs_placeholder { int anchor = 0; }
