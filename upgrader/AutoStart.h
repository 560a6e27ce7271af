#pragma once

// The driver's own functions, outside the qx namespaces like main.
//
// The auto-start daemons are parked by renaming each program file to its
// ".disabled" name and restored by renaming it back.

// Restores parked daemons; a program file that exists wins over its parked
// copy, which is deleted. True when every restore that was needed and
// attempted succeeded.
bool EnableAutoStartBinaries();

// Parks all three daemons, stopping at the first rename that fails.
bool DisableAutoStartBinaries();
