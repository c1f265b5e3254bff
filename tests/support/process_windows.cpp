// The Windows side of process.h: CreateProcess with pipes and files as the
// standard handles, the channel's handle value passed in the environment,
// TerminateProcess for Kill, and ntdll's process suspension for Suspend.
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "support/process.h"

namespace travik_proc {

namespace {

using Clock = std::chrono::steady_clock;

// Where a child finds its channel's handle.
constexpr char kChannelVariable[] = "TRAVIK_CHANNEL_HANDLE";
// The exit code Kill gives: Windows has no "killed by a signal".
constexpr UINT kKilledExitCode = 0xDEAD;

HANDLE AsHandle(NativeFd fd) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd)); }
NativeFd AsFd(HANDLE h) { return static_cast<NativeFd>(reinterpret_cast<intptr_t>(h)); }

// One argument, quoted the way the C runtime splits a command line.
void AppendQuoted(std::string& line, const std::string& arg) {
    if (!line.empty()) line += ' ';
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
        line += arg;
        return;
    }
    line += '"';
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, '\\');
    line += '"';
}

// This process's environment without `name`, plus name=value.
std::string EnvironmentWith(const char* name, const std::string& value) {
    std::string block;
    const std::string prefix = std::string(name) + "=";
    if (char* env = GetEnvironmentStringsA()) {
        for (const char* p = env; *p; p += std::strlen(p) + 1)
            if (std::strncmp(p, prefix.c_str(), prefix.size()) != 0) block.append(p, std::strlen(p) + 1);
        FreeEnvironmentStringsA(env);
    }
    block += prefix + value;
    block += '\0';
    block += '\0';
    return block;
}

HANDLE OpenForChild(const std::string& path, bool append) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    const std::string name = path == "/dev/null" ? "NUL" : path;
    HANDLE h = CreateFileA(name.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa,
                           append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return h;
}

// An inheritable copy of one of this process's standard handles.
HANDLE InheritableCopy(DWORD which) {
    HANDLE own = GetStdHandle(which), copy = nullptr;
    if (own == nullptr || own == INVALID_HANDLE_VALUE) return nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return nullptr;
    return copy;
}

using NtProcessCall = LONG(NTAPI*)(HANDLE);
NtProcessCall NtCall(const char* name) {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll ? reinterpret_cast<NtProcessCall>(reinterpret_cast<void*>(GetProcAddress(ntdll, name))) : nullptr;
}

}  // namespace

bool LineChannel::Send(const std::string& line) {
    const std::string out = line + "\n";
    DWORD written = 0;
    return m_fd >= 0 && WriteFile(AsHandle(m_fd), out.data(), static_cast<DWORD>(out.size()), &written, nullptr) &&
           written == out.size();
}

bool LineChannel::Read(std::string& line, std::chrono::milliseconds timeout) {
    return ReadBefore(line, Clock::now() + timeout);
}

// Anonymous pipes cannot be waited on: the pipe is looked at every
// millisecond until a line, its end or the deadline.
bool LineChannel::ReadBefore(std::string& line, Clock::time_point deadline) {
    for (;;) {
        const size_t nl = m_buffer.find('\n');
        if (nl != std::string::npos) {
            line = m_buffer.substr(0, nl);
            m_buffer.erase(0, nl + 1);
            return true;
        }
        if (m_fd < 0) return false;
        DWORD waiting = 0;
        if (!PeekNamedPipe(AsHandle(m_fd), nullptr, 0, nullptr, &waiting, nullptr)) return false;  // the end
        if (waiting == 0) {
            if (Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        char buf[512];
        DWORD n = 0;
        if (!ReadFile(AsHandle(m_fd), buf, waiting < sizeof buf ? waiting : sizeof buf, &n, nullptr) || n == 0)
            return false;
        m_buffer.append(buf, n);
    }
}

void LineChannel::Reset(NativeFd fd) {
    if (m_fd >= 0) CloseHandle(AsHandle(m_fd));
    m_fd = fd;
    m_buffer.clear();
}

Process::~Process() {
    Kill();
    if (m_handle) CloseHandle(m_handle);
    m_channel.Reset(-1);
    m_output.Reset(-1);
}

bool Process::Start(const std::string& path, const std::vector<std::string>& argv, const SpawnOptions& options) {
    if (m_pid > 0 || options.channel == SpawnOptions::Channel::kSocketPair) return false;
    // Child ends are inheritable, this side's ends are not.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE channelRead = nullptr, channelWrite = nullptr, outRead = nullptr;
    HANDLE stdio[3] = {nullptr, nullptr, nullptr};
    auto closeAll = [&] {
        for (HANDLE h : {channelRead, channelWrite, outRead, stdio[0], stdio[1], stdio[2]})
            if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    };
    if (options.channel == SpawnOptions::Channel::kPipe &&
        (!CreatePipe(&channelRead, &channelWrite, &inherit, 0) ||
         !SetHandleInformation(channelRead, HANDLE_FLAG_INHERIT, 0))) {
        closeAll();
        return false;
    }
    if (options.pipeOutput) {
        if (!CreatePipe(&outRead, &stdio[1], &inherit, 0) || !SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0)) {
            closeAll();
            return false;
        }
    } else {
        stdio[1] = options.outPath.empty() ? InheritableCopy(STD_OUTPUT_HANDLE)
                                           : OpenForChild(options.outPath, options.appendOutput);
    }
    stdio[2] = options.errPath.empty() ? InheritableCopy(STD_ERROR_HANDLE)
                                       : OpenForChild(options.errPath, options.appendOutput);
    stdio[0] = InheritableCopy(STD_INPUT_HANDLE);
    for (HANDLE h : {stdio[1], stdio[2]}) {
        if (h == INVALID_HANDLE_VALUE) {
            closeAll();
            return false;
        }
    }

    STARTUPINFOEXA info{};
    info.StartupInfo.cb = sizeof info;
    info.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    info.StartupInfo.hStdInput = stdio[0];
    info.StartupInfo.hStdOutput = stdio[1];
    info.StartupInfo.hStdError = stdio[2];
    // closeOthers: only the handles named here reach the child.
    std::vector<HANDLE> only;
    for (HANDLE h : {stdio[0], stdio[1], stdio[2], channelWrite})
        if (h) only.push_back(h);
    std::vector<char> attributes;
    DWORD flags = 0;
    if (options.closeOthers) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        attributes.resize(size);
        info.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
        if (!InitializeProcThreadAttributeList(info.lpAttributeList, 1, 0, &size) ||
            !UpdateProcThreadAttribute(info.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, only.data(),
                                       only.size() * sizeof(HANDLE), nullptr, nullptr)) {
            closeAll();
            return false;
        }
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    }
    std::string line;
    for (const std::string& arg : argv) AppendQuoted(line, arg);
    std::vector<char> commandLine(line.begin(), line.end());
    commandLine.push_back('\0');
    std::string environment;
    if (channelWrite)
        environment = EnvironmentWith(kChannelVariable, std::to_string(reinterpret_cast<intptr_t>(channelWrite)));
    PROCESS_INFORMATION pi{};
    const BOOL started =
        CreateProcessA(path.c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags,
                       environment.empty() ? nullptr : &environment[0], nullptr, &info.StartupInfo, &pi);
    if (info.lpAttributeList) DeleteProcThreadAttributeList(info.lpAttributeList);
    if (!started) {
        closeAll();
        return false;
    }
    CloseHandle(pi.hThread);
    for (HANDLE h : {channelWrite, stdio[0], stdio[1], stdio[2]})
        if (h) CloseHandle(h);
    m_handle = pi.hProcess;
    m_pid = static_cast<pid_t>(pi.dwProcessId);
    m_ended = false;
    m_status = 0;
    m_channel.Reset(channelRead ? AsFd(channelRead) : -1);
    m_output.Reset(outRead ? AsFd(outRead) : -1);
    return true;
}

bool Process::Interrupt() {
    // kernelbase sits at the same address in every process of a session, so
    // this process's routine is the child's.
    static const auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernelbase.dll"), "CtrlRoutine")));
    if (!m_handle || Ended() || !routine) return false;
    HANDLE thread = CreateRemoteThread(m_handle, nullptr, 0, routine,
                                       reinterpret_cast<void*>(static_cast<uintptr_t>(CTRL_C_EVENT)), 0, nullptr);
    if (!thread) return false;
    CloseHandle(thread);
    return true;
}

bool Process::Suspend() {
    static const NtProcessCall suspend = NtCall("NtSuspendProcess");
    return m_handle && !m_ended && suspend && suspend(m_handle) == 0;
}

bool Process::Resume() {
    static const NtProcessCall resume = NtCall("NtResumeProcess");
    return m_handle && !m_ended && resume && resume(m_handle) == 0;
}

bool Process::Ended() {
    if (!m_handle || m_ended) return m_ended;
    if (WaitForSingleObject(m_handle, 0) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    GetExitCodeProcess(m_handle, &code);
    m_status = static_cast<int>(code);
    m_ended = true;
    return true;
}

int Process::Wait(std::chrono::milliseconds timeout) {
    if (!m_handle) return -1;
    if (!m_ended) WaitForSingleObject(m_handle, static_cast<DWORD>(timeout.count() < 0 ? 0 : timeout.count()));
    return Ended() ? m_status : -1;
}

int Process::ExitCode(std::chrono::milliseconds timeout) {
    const int status = Wait(timeout);
    if (!m_ended) return -1;
    return static_cast<UINT>(status) == kKilledExitCode ? -2 : status;
}

void Process::Kill() {
    if (!m_handle || Ended()) return;
    TerminateProcess(m_handle, kKilledExitCode);
    WaitForSingleObject(m_handle, INFINITE);
    Ended();
}

bool Process::EndedByKill() { return Ended() && static_cast<UINT>(m_status) == kKilledExitCode; }

bool SendToParent(const char* data, size_t len) {
    static const HANDLE channel = [] {
        char value[32] = {0};
        const DWORD n = GetEnvironmentVariableA(kChannelVariable, value, sizeof value);
        return n > 0 && n < sizeof value ? reinterpret_cast<HANDLE>(static_cast<intptr_t>(std::atoll(value))) : nullptr;
    }();
    DWORD written = 0;
    return channel && WriteFile(channel, data, static_cast<DWORD>(len), &written, nullptr) && written == len;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace travik_proc
