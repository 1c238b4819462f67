// SPDX-License-Identifier: Apache-2.0
// Resource identifiers of keld4.exe, shared by the resource script and the
// code that loads them.
#pragma once

// String table: the service name.
#define IDS_SERVICENAME 100
