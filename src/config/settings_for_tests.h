// For tests only: the service reads its settings once per process and keeps them, but a
// test program loads them many times.
#pragma once

// Frees the six texts of Settings and zeroes the record, and forgets what the log writer
// knows of the log (its last line, its size, a rotation failure told), as at process start.
void ResetSettingsForTest();

// The log writer's part of that.
void ResetLogFileForTest();
