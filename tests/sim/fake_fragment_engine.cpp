// A recording stand-in for the engine's side of the fragment exchange, for
// the host library's tests: it answers Archive and Restore lines with
// "KelFragment" elements naming a buffer of its own, as the handlers do, and
// writes every line it reads to a transcript.
//
//   fake_fragment_engine TRANSCRIPT STORE [BUFFER]
//
// Archive appends the bytes it takes from its buffer to STORE; Restore hands
// out STORE's bytes from the request's FragmentOffset. An Archive of
// "/refused" is answered with "HRESULT" at once. BUFFER "unmapped"
// names an address no process has mapped.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::string attr(const std::string& line, const std::string& key) {
  const std::string k = " " + key + "=\"";
  const auto at = line.find(k);
  if (at == std::string::npos) return "";
  const auto from = at + k.size();
  return line.substr(from, line.find('"', from) - from);
}

struct Fake {
  std::ofstream transcript;
  std::string store;
  bool unmapped = false;
  std::vector<char> buffer;

  bool read(std::string* line) {
    if (!std::getline(std::cin, *line)) return false;
    transcript << *line << "\n" << std::flush;
    return true;
  }
  void element(const std::string& e) {
    std::cout << e << '\0' << std::flush;
  }
  void fragment(const std::string& seq, unsigned long long size, unsigned long long block, std::size_t n) {
    char b[400];
    const void* address = unmapped ? reinterpret_cast<void*>(0x1000) : buffer.empty() ? nullptr : buffer.data();
    std::snprintf(b, sizeof b,
                  "<KelFragment SequenceNumber=\"%s\" FragmentFileSize=\"%llu\" BlockNumber=\"%llu\" "
                  "ModificationTime=\"0.0\" IOSize=\"%zu\" BytesTransferred=\"%zu\" Buffer=\"%016llX\" "
                  "isPackedWrite=\"0\"/>",
                  seq.c_str(), size, block, buffer.size(), n,
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(address)));
    element(b);
  }
  // Waits for "OpenFragmentFileCallback"; false on "FailureCallback".
  bool open(const std::string& seq, unsigned long long size, unsigned long long block) {
    buffer.clear();
    fragment(seq, size, block, 0);
    std::string line;
    if (!read(&line) || attr(line, "Opcode") != "OpenFragmentFileCallback") return false;
    buffer.assign(std::strtoul(attr(line, "IOSize").c_str(), nullptr, 10), '\0');
    return true;
  }
  void archive(const std::string& seq) {
    if (!open(seq, 0, 0)) return;
    std::string line;
    fragment(seq, 0, 777, 0);
    std::string taken;
    while (read(&line) && attr(line, "Opcode") == "WriteCallback") {
      const std::size_t n = std::strtoul(attr(line, "BytesToWrite").c_str(), nullptr, 10);
      if (n == 0) {
        store += taken;
        element("<KelArchive SequenceNumber=\"" + seq + "\" Size=\"" + std::to_string(taken.size()) + "\"/>");
        return;
      }
      taken.append(buffer.data(), std::min(n, buffer.size()));
      fragment(seq, 0, 777, 0);
    }
  }
  void restore(const std::string& seq, const std::string& request) {
    std::size_t at = std::strtoull(attr(request, "FragmentOffset").c_str(), nullptr, 10);
    if (!open(seq, store.size(), 0)) return;
    std::string line;
    for (;;) {
      const std::size_t n = at < store.size() ? std::min(buffer.size(), store.size() - at) : 0;
      if (n) std::memcpy(buffer.data(), store.data() + at, n);
      at += n;
      fragment(seq, store.size(), 0, n);
      if (n == 0) break;
      if (!read(&line) || attr(line, "Opcode") != "ReadCallback") return;
    }
    element("<KelSuccess SequenceNumber=\"" + seq + "\"/>");
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  Fake fake;
  fake.transcript.open(argv[1]);
  const std::string store_path = argv[2];
  {
    std::ifstream in(store_path, std::ios::binary);
    fake.store.assign(std::istreambuf_iterator<char>(in), {});
  }
  fake.unmapped = argc > 3 && std::strcmp(argv[3], "unmapped") == 0;
  std::string line;
  while (fake.read(&line)) {
    const std::string op = attr(line, "Opcode"), seq = attr(line, "SequenceNumber");
    if (op == "Archive" && attr(line, "Name") == "/refused") {
      fake.element("<HRESULT SequenceNumber=\"" + seq + "\" HRESULT=\"-2147024891\"/>");
    } else if (op == "Archive") {
      fake.archive(seq);
    } else if (op == "Restore") {
      fake.restore(seq, line);
    } else {
      fake.element("<HRESULT SequenceNumber=\"" + seq + "\" HRESULT=\"-2147023537\"/>");
    }
  }
  std::ofstream(store_path, std::ios::binary | std::ios::trunc) << fake.store;
  return 0;
}
