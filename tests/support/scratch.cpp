#include "scratch.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>

#include "report/report.h"
#include "report/sink.h"
#include "run/main.h"

namespace vx::testing {

namespace fs = std::filesystem;

Scratch::Scratch() {
  static std::atomic<int> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  root_ = fs::temp_directory_path() /
          ("velmox-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
  fs::create_directories(root_);
}

Scratch::~Scratch() {
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

fs::path Scratch::Fs(std::u16string_view relative) const {
  fs::path path = root_;
  if (!relative.empty()) path /= fs::path(std::u16string(relative)).make_preferred();
  return path;
}

std::u16string Scratch::Path(std::u16string_view relative) const {
  return Fs(relative).u16string();
}

void Scratch::MakeDir(std::u16string_view relative) const {
  fs::create_directories(Fs(relative));
}

void Scratch::Write(std::u16string_view relative, const std::string& data) const {
  std::filesystem::create_directories(Fs(relative).parent_path());
  std::ofstream out(Fs(relative), std::ios::binary | std::ios::trunc);
  out << data;
}

std::string Scratch::Read(std::u16string_view relative) const {
  return ReadWholeFile(Fs(relative));
}

bool Scratch::Exists(std::u16string_view relative) const {
  return fs::exists(Fs(relative));
}

std::string ReadWholeFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream data;
  data << in.rdbuf();
  return data.str();
}

ConsoleCapture::ConsoleCapture(Sink& (*which)())
    : which_(which), standard_(which == Console ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE) {
  HANDLE file = Os().CreateFileW(scratch_.Path(u"console").c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  which_().Close();
  which_().Attach(file, Sink::Delivery::kEveryLine, true);
}

ConsoleCapture::~ConsoleCapture() {
  which_().Close();
  which_().Attach(Os().GetStdHandle(standard_), Sink::Delivery::kBlocks, false);
}

std::string ConsoleCapture::Text() {
  which_().Flush();
  return scratch_.Read(u"console");
}

int RunVelmox(const std::vector<std::u16string>& arguments) {
  std::vector<const char16_t*> argv = {u"velmox"};
  for (const std::u16string& argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);
  return RunMain(static_cast<int>(arguments.size() + 1), argv.data());
}

std::string Bytes(std::u16string_view text) {
  return SingleByteText(text);
}

std::string ErrLine(int number, std::u16string_view subject, std::u16string_view context,
                    DWORD code) {
  char16_t* text = nullptr;
  DWORD length = NativePlatform().FormatMessageW(0x1100, nullptr, code, 0x400,
                                                 reinterpret_cast<char16_t*>(&text), 0, nullptr);
  std::u16string message(text != nullptr ? text : u"", length);
  if (text != nullptr) NativePlatform().LocalFree(text);
  message = message.substr(0, message.find_first_of(u"\r\n"));
  std::string number_text = std::to_string(number);
  number_text.insert(0, number_text.size() < 6 ? 6 - number_text.size() : 0, '0');
  return "ERR  " + number_text + ": " + Bytes(subject) + ": " + Bytes(message) + " at " +
         Bytes(context) + " (" + std::to_string(static_cast<int32_t>(code)) + ")\r\n";
}

namespace {
HANDLE OpenForTimes(const std::u16string& path, DWORD access) {
  return NativePlatform().CreateFileW(path.c_str(), access, 7, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}
}  // namespace

uint64_t LastWriteTicks(const std::u16string& path) {
  HANDLE handle = OpenForTimes(path, GENERIC_READ);
  BY_HANDLE_FILE_INFORMATION info = {};
  NativePlatform().GetFileInformationByHandle(handle, &info);
  NativePlatform().CloseHandle(handle);
  return FileTimeTicks(info.ftLastWriteTime);
}

void SetLastWriteTicks(const std::u16string& path, uint64_t ticks) {
  HANDLE handle = OpenForTimes(path, GENERIC_WRITE);
  const FILETIME time = FileTimeFromTicks(ticks);
  NativePlatform().SetFileTime(handle, nullptr, nullptr, &time);
  NativePlatform().CloseHandle(handle);
}

}  // namespace vx::testing
