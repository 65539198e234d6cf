// Subsystem library; its code lands with its issue.
namespace link_placeholder { int anchor = 0; }
