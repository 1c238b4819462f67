// The process-wide objects, defined in one place so they are built in this
// order before the entry point and destroyed in the reverse order at exit.
#include "config/KELD3Register.h"
#include "log/Log.h"
#include "messaging/Master.h"
#include "messaging/Read.h"
#include "messaging/Write.h"

CLog g_log;
CKELD3Register g_Config;
CMaster g_Master;
CRead g_Read;
CWrite g_Write;
#include "service/keld4.h"
CServiceModule _Module;
