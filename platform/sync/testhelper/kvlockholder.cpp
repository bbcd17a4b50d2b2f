// Helper process for the synchronisation tests.
//
//   kvlockholder hold <name>
//       Takes the cross-process mutex, writes "L" to standard output, then
//       reads one command byte from standard input: 'r' releases the mutex and
//       exits 0; 'd' (or end of input) exits 3 at once, holding it.
//   kvlockholder try <name> <timeout ms>
//       Waits for the mutex and exits with 0 (acquired), 1 (abandoned),
//       2 (time-out) or 4 (failure).
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/sync/sync.h"

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "hold") == 0) {
        KvHandle mutex = KvCreateMutex(argv[2], 0, KV_MUTEX_CROSS_PROCESS);
        if (mutex == 0) return 4;
        uint32_t result = KvWaitForSingleObject(mutex, KV_INFINITE);
        if (result != KV_WAIT_OBJECT_0 && result != KV_WAIT_ABANDONED_0) return 4;
        if (write(1, "L", 1) != 1) return 4;
        char command = 'd';
        if (read(0, &command, 1) != 1) command = 'd';
        if (command == 'r') {
            KvReleaseMutex(mutex);
            KvCloseHandle(mutex);
            return 0;
        }
        _exit(3);
    }
    if (argc >= 4 && std::strcmp(argv[1], "try") == 0) {
        KvHandle mutex = KvCreateMutex(argv[2], 0, KV_MUTEX_CROSS_PROCESS);
        if (mutex == 0) return 4;
        uint32_t result = KvWaitForSingleObject(mutex, static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)));
        switch (result) {
            case KV_WAIT_OBJECT_0:
                KvReleaseMutex(mutex);
                return 0;
            case KV_WAIT_ABANDONED_0:
                KvReleaseMutex(mutex);
                return 1;
            case KV_WAIT_TIMEOUT:
                return 2;
            default:
                return 4;
        }
    }
    return 5;
}
