#pragma once

// Waits without freezing the window: a nested event loop runs until the time
// has passed, so socket data, timer ticks and clicks are handled meanwhile.
// A wait of 0 ms or less still handles the events that are pending.
void waitKeepingEventsRunning(int milliseconds);
