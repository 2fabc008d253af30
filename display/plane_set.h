#pragma once
// The per-output picture settings.

// Resolves every output's aspect, fit, flip and telemetry from the settings
// and the DSI overrides; repaints a standby buffer whose flip/fit changed.
void apply_output_overrides();
