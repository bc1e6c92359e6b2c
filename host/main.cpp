// The service host executable: started only by the service control manager.
#include "host/process_entry.h"

extern "C" int wmain(int /*argc*/, wchar_t** /*argv*/)
{
    return qvx::RunProcessEntry();
}
