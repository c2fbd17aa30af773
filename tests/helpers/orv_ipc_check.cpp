// The leak check of a test run: reads the key file that the test database
// fixture appends to ("<key> <directory>" a line) and fails when a shared
// memory set exists under one of those keys that names one of those
// directories. A set under such a key that names another directory belongs to
// somebody else whose directory maps to the same key (ext4 reuses the inodes
// of removed directories, so this happens on a busy machine); it is listed
// but does not fail the run, and so is one without an identity (made by hand,
// or by an engine that records none): whose it is cannot be told. The fixture
// removes every set under its keys, so what is left is what a test process
// that died before its clean-up made; the engine's sets carry the identity.
//
//   orv_ipc_check KEYS_FILE
#include "support/OrvMemoryManager.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <sys/ipc.h>
#include <sys/shm.h>

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::cerr << "usage: " << argv[0] << " KEYS_FILE\n";
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in) {
        std::cerr << "No key file " << argv[1] << ": the tests did not record their keys.\n";
        return 1;
    }
    std::map<key_t, std::set<std::string>> directories;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string keyText;
        std::string directory;
        if (fields >> keyText && std::getline(fields >> std::ws, directory)) {
            directories[static_cast<key_t>(std::stoul(keyText, nullptr, 16))].insert(directory);
        }
    }
    int leaks = 0;
    for (const auto& entry : directories) {
        const int id = shmget(entry.first, 0, 0);
        if (id < 0) {
            continue;
        }
        std::string owner = "(no identity)";
        struct shmid_ds info;
        if (shmctl(id, IPC_STAT, &info) == 0 && info.shm_segsz >= OrvMemoryManager::DATA_OFFSET) {
            const void* segment = shmat(id, nullptr, SHM_RDONLY);
            if (segment != reinterpret_cast<void*>(-1)) {
                OrvMemoryManager::SetIdentity identity;
                std::memcpy(&identity,
                            static_cast<const char*>(segment) + OrvMemoryManager::IDENTITY_OFFSET,
                            sizeof(identity));
                shmdt(segment);
                if (identity.magic == OrvMemoryManager::IDENTITY_MAGIC) {
                    owner =
                        std::string(identity.path, strnlen(identity.path, sizeof(identity.path)));
                }
            }
        }
        char key[16];
        std::snprintf(key, sizeof(key), "0x%08x", static_cast<unsigned>(entry.first));
        // The identity holds the resolved directory; the fixture records the
        // path it made, which is resolved already (mkdtemp under /tmp).
        const bool ours = entry.second.count(owner) != 0;
        std::cout << (ours ? "LEFT BEHIND: " : "ignored (not of a test directory): ") << "m " << id
                  << " key " << key << " " << owner << "\n";
        leaks += ours ? 1 : 0;
    }
    if (leaks != 0) {
        std::cout << leaks
                  << " shared memory set(s) left behind by the tests. Remove each with ipcrm, "
                     "together with the latch semaphore set whose id is at the start of its "
                     "data.\n";
        return 1;
    }
    std::cout << "No shared memory set left under the keys of the " << [&] {
        std::set<std::string> all;
        for (const auto& entry : directories) {
            all.insert(entry.second.begin(), entry.second.end());
        }
        return all.size();
    }() << " test database directories.\n";
    return 0;
}
