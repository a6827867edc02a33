#pragma once
// The switch behind ZENTO_DIAG_LOGSTATE. Diagnostics are on when the
// environment has ZENTO_DIAG=on (any case) or the file $ZENTO_HOME/diag.on
// exists. Both are looked at on the first call and then at most once a
// second, so that the gate costs a clock read; creating or removing diag.on
// turns diagnostics on or off in a running task within a second.

namespace msglib {
// Makes the next ZENTO_DIAG_LOGSTATE look again at once (for tests that flip
// the switch).
void refreshDiagnosticSwitch();
}  // namespace msglib
