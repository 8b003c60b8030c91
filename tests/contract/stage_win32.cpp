// Rows staged on the real Windows, with the C runtime's file calls: the
// seam has no call that writes a file, and needs none.

#include "tests/contract/stage.h"

#include <direct.h>
#include <io.h>
#include <stdio.h>
#include <sys/stat.h>

#include <vector>

namespace nimbrel::contract {
namespace {
std::vector<std::wstring> staged; // newest last
}

void Fresh() {
    for (auto it = staged.rbegin(); it != staged.rend(); ++it) {
        _wchmod(it->c_str(), _S_IREAD | _S_IWRITE);
        if (_wremove(it->c_str()) != 0) {
            _wrmdir(it->c_str());
        }
    }
    staged.clear();
    _wmkdir(kFolder);
}

void StageFolder(const std::wstring& path) {
    _wmkdir(path.c_str());
    staged.push_back(path);
}

void StageFile(const std::wstring& path, const std::string& bytes, bool readOnly) {
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (file != nullptr) {
        fwrite(bytes.data(), 1, bytes.size(), file);
        fclose(file);
    }
    staged.push_back(path);
    if (readOnly) {
        _wchmod(path.c_str(), _S_IREAD);
    }
}

bool OnRealWindows() {
    return true;
}

} // namespace nimbrel::contract
