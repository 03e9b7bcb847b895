#include "support/spawn.h"

#ifdef _WIN32

#include "platform/win_text.h"

#include <algorithm>
#include <cwctype>
#include <windows.h>

namespace {

// Quotes one argument so that the child's C runtime splits it back unchanged.
std::wstring quote_arg(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            out.append(backslashes * 2 + 1, L'\\');
        } else {
            out.append(backslashes, L'\\');
        }
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, L'\\');
    out.push_back(L'"');
    return out;
}

std::wstring upper(std::wstring s) {
    for (auto& c : s)
        c = static_cast<wchar_t>(std::towupper(c));
    return s;
}

// The parent's environment with the additions applied, as a sorted UTF-16 block.
std::wstring environment_block(const std::vector<std::pair<std::string, std::string>>& additions) {
    std::vector<std::wstring> vars;
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* p = block; *p != L'\0'; p += wcslen(p) + 1)
            vars.emplace_back(p);
        FreeEnvironmentStringsW(block);
    }
    for (const auto& add : additions) {
        std::wstring name = utf8_to_wide(add.first);
        std::wstring key = upper(name) + L"=";
        vars.erase(std::remove_if(vars.begin(), vars.end(),
                                  [&](const std::wstring& v) { return upper(v.substr(0, key.size())) == key; }),
                   vars.end());
        vars.push_back(name + L"=" + utf8_to_wide(add.second));
    }
    std::sort(vars.begin(), vars.end(),
              [](const std::wstring& a, const std::wstring& b) { return upper(a) < upper(b); });
    std::wstring out;
    for (const auto& v : vars) {
        out += v;
        out.push_back(L'\0');
    }
    out.push_back(L'\0');
    return out;
}

} // namespace

bool spawn_start(const SpawnRequest& request, SpawnedProcess& proc) {
    proc.handle = -1;
    std::wstring exe = utf8_to_wide(request.exe);
    if (exe.empty()) return false;
    std::wstring cmd = quote_arg(exe);
    for (const auto& a : request.args)
        cmd += L" " + quote_arg(utf8_to_wide(a));
    std::wstring env = environment_block(request.env);
    std::wstring dir = utf8_to_wide(request.work_dir);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    HANDLE output = INVALID_HANDLE_VALUE;
    if (!request.output_path.empty()) {
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        output =
            CreateFileW(utf8_to_wide(request.output_path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (output == INVALID_HANDLE_VALUE) return false;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = output;
        si.hStdError = output;
    }
    PROCESS_INFORMATION pi{};
    BOOL started = CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, output != INVALID_HANDLE_VALUE,
                                  CREATE_UNICODE_ENVIRONMENT, &env[0], dir.empty() ? nullptr : dir.c_str(), &si, &pi);
    if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
    if (!started) return false;
    CloseHandle(pi.hThread);
    proc.handle = reinterpret_cast<std::intptr_t>(pi.hProcess);
    return true;
}

int spawn_wait(SpawnedProcess& proc) {
    if (proc.handle == -1) return -1;
    HANDLE h = reinterpret_cast<HANDLE>(proc.handle);
    proc.handle = -1;
    DWORD code = 0;
    bool ok = WaitForSingleObject(h, INFINITE) == WAIT_OBJECT_0 && GetExitCodeProcess(h, &code);
    CloseHandle(h);
    return ok ? static_cast<int>(code) : -1;
}

std::string spawn_self_path() {
    std::wstring buf(32768, L'\0');
    DWORD n = GetModuleFileNameW(nullptr, &buf[0], static_cast<DWORD>(buf.size()));
    if (n == 0 || n >= buf.size()) return std::string();
    buf.resize(n);
    return wide_to_utf8(buf);
}

#else

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

bool spawn_start(const SpawnRequest& request, SpawnedProcess& proc) {
    proc.handle = -1;
    // Checked here because a failed exec only shows in the child, as exit code 127.
    if (request.exe.empty() || ::access(request.exe.c_str(), X_OK) != 0) return false;

    std::vector<std::string> env_text;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        std::string var(*e);
        bool replaced = false;
        for (const auto& add : request.env)
            if (var.compare(0, add.first.size() + 1, add.first + "=") == 0) replaced = true;
        if (!replaced) env_text.push_back(std::move(var));
    }
    for (const auto& add : request.env)
        env_text.push_back(add.first + "=" + add.second);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(request.exe.c_str()));
    for (const auto& a : request.args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& v : env_text)
        envp.push_back(&v[0]);
    envp.push_back(nullptr);

    int output = -1;
    if (!request.output_path.empty()) {
        output = ::open(request.output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (output < 0) return false;
    }
    // fork and exec rather than posix_spawn: the child's folder cannot be set portably there. Only
    // async-signal-safe calls run in the child.
    pid_t pid = fork();
    if (pid == 0) {
        if (output >= 0 && (dup2(output, 1) < 0 || dup2(output, 2) < 0)) _exit(127);
        if (!request.work_dir.empty() && chdir(request.work_dir.c_str()) != 0) _exit(127);
        execve(request.exe.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    if (output >= 0) ::close(output);
    if (pid < 0) return false;
    proc.handle = pid;
    return true;
}

int spawn_wait(SpawnedProcess& proc) {
    if (proc.handle < 0) return -1;
    pid_t pid = static_cast<pid_t>(proc.handle);
    proc.handle = -1;
    int status = 0;
    pid_t r;
    do {
        r = waitpid(pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    if (r != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::string spawn_self_path() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return std::string();
    return std::string(buf, static_cast<std::size_t>(n));
}

#endif

int spawn_run(const SpawnRequest& request) {
    SpawnedProcess proc;
    if (!spawn_start(request, proc)) return -1;
    return spawn_wait(proc);
}
