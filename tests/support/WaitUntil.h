// Waiting in tests for the event a check needs, never for a fixed time: the
// suite runs on a loaded machine and under sanitizers, where everything may
// take many times longer than on a quiet one. The time-outs are only there to
// end a test that would otherwise hang, so they are generous.
#pragma once

#include <functional>

// Processes events until cond holds (true) or timeoutMs passes (false).
bool WaitUntil(const std::function<bool()>& cond, int timeoutMs = 120000);
