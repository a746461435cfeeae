#include "winrun/pe_image.h"

#include "winrun/imports.h"
#include "winrun/widths.h"

#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace winrun {
namespace {

constexpr uint16_t kMachineI386 = 0x14C;
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint32_t kScnExecute = 0x20000000, kScnWrite = 0x80000000;
constexpr uint32_t kImportDirectory = 1, kRelocationDirectory = 5;

struct Section {
  char name[8];
  uint32_t virtualSize, virtualAddress, rawSize, rawOffset;
  uint32_t relocations, lineNumbers;
  uint16_t relocationCount, lineNumberCount;
  uint32_t characteristics;
};

struct ImportDescriptor {
  uint32_t lookupTable, timeStamp, forwarderChain, name, addressTable;
};

// The file as the page cache holds it: mapped, not read into fresh heap pages, each of which would
// be a fault of its own before the sections are copied out of it.
class FileView {
public:
  explicit FileView(const char* path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat info;
    readable_ = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (readable_ && info.st_size > 0) {
      void* view = mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
      readable_ = view != MAP_FAILED;
      if (readable_) {
        data_ = static_cast<const uint8_t*>(view);
        size_ = static_cast<size_t>(info.st_size);
      }
    }
    close(fd);
  }
  ~FileView() {
    if (data_ != nullptr) munmap(const_cast<uint8_t*>(data_), size_);
  }
  FileView(const FileView&) = delete;
  FileView& operator=(const FileView&) = delete;

  bool Readable() const { return readable_; }
  const uint8_t* Data() const { return data_; }
  size_t Size() const { return size_; }

  template <typename T> bool Read(uint64_t at, T* value) const {
    if (at > size_ || sizeof(T) > size_ - at) return false;
    std::memcpy(value, data_ + at, sizeof(T));
    return true;
  }

private:
  bool readable_ = false;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// A string of the mapped image, bounded by the image.
const char* ImageString(const Image& image, uint32_t sizeOfImage, uint32_t rva) {
  if (rva >= sizeOfImage) return nullptr;
  const char* text = Pointer<const char>(image.base + rva);
  return std::memchr(text, 0, sizeOfImage - rva) != nullptr ? text : nullptr;
}

bool BindImports(const Image& image, uint32_t sizeOfImage, uint32_t rva, uint32_t size,
                 std::string* error) {
  if (rva == 0 || size == 0) return true;
  for (uint32_t at = rva; at + sizeof(ImportDescriptor) <= sizeOfImage;
       at += sizeof(ImportDescriptor)) {
    const ImportDescriptor entry = *Pointer<ImportDescriptor>(image.base + at);
    if (entry.name == 0 && entry.addressTable == 0) return true;
    const char* module = ImageString(image, sizeOfImage, entry.name);
    if (module == nullptr) {
      *error = "a broken import table";
      return false;
    }
    const HMODULE handle = GetModuleHandleA(module);
    const uint32_t lookup = entry.lookupTable != 0 ? entry.lookupTable : entry.addressTable;
    for (uint32_t i = 0;; ++i) {
      if (lookup + 4 * i + 4 > sizeOfImage || entry.addressTable + 4 * i + 4 > sizeOfImage) {
        *error = "a broken import table";
        return false;
      }
      const uint32_t name = *Pointer<uint32_t>(image.base + lookup + 4 * i);
      if (name == 0) break;
      const char* function =
          (name & 0x80000000u) != 0 ? nullptr : ImageString(image, sizeOfImage, name + 2);
      if (function == nullptr) {
        *error = std::string("an import by ordinal or a broken name from ") + module;
        return false;
      }
      const uint32_t stub = handle != nullptr ? StubFor(handle, function) : 0;
      if (stub == 0) {
        *error = std::string("imports ") + function + " from " + module +
                 ", which the runner does not provide";
        return false;
      }
      *Pointer<uint32_t>(image.base + entry.addressTable + 4 * i) = stub;
    }
  }
  *error = "a broken import table";
  return false;
}

} // namespace

bool LoadImage(const char* path, Image* image, std::string* error) {
  const FileView file(path);
  if (!file.Readable()) {
    *error = "cannot read the file";
    return false;
  }
  uint32_t header = 0, signature = 0;
  uint16_t machine = 0, sections = 0, optionalSize = 0, magic = 0;
  if (file.Size() < 64 || file.Data()[0] != 'M' || file.Data()[1] != 'Z' ||
      !file.Read(0x3C, &header) || !file.Read(header, &signature) || signature != 0x00004550) {
    *error = "not a PE image";
    return false;
  }
  file.Read(header + 4, &machine);
  file.Read(header + 6, &sections);
  file.Read(header + 20, &optionalSize);
  const uint64_t optional = header + 24;
  file.Read(optional, &magic);
  if (machine != kMachineI386 || magic != kMagicPe32) {
    *error = "not a 32-bit x86 image (PE32)";
    return false;
  }
  uint32_t entry = 0, base = 0, sizeOfImage = 0, sizeOfHeaders = 0, stackReserve = 0;
  uint32_t directories = 0, importRva = 0, importSize = 0, relocationRva = 0;
  file.Read(optional + 16, &entry);
  file.Read(optional + 28, &base);
  file.Read(optional + 56, &sizeOfImage);
  file.Read(optional + 60, &sizeOfHeaders);
  file.Read(optional + 72, &stackReserve);
  file.Read(optional + 92, &directories);
  if (directories > kImportDirectory) {
    file.Read(optional + 96 + 8 * kImportDirectory, &importRva);
    file.Read(optional + 96 + 8 * kImportDirectory + 4, &importSize);
  }
  if (directories > kRelocationDirectory)
    file.Read(optional + 96 + 8 * kRelocationDirectory, &relocationRva);
  if (sizeOfImage == 0 || sizeOfHeaders > file.Size() || sizeOfHeaders > sizeOfImage ||
      base % 0x10000 != 0 || uint64_t{base} + sizeOfImage > 0x80000000u) {
    *error = "a broken image header";
    return false;
  }
  // The image runs at its own base or not at all: this runner applies no relocations.
  void* mapped = mmap(Pointer<void>(base), sizeOfImage, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (mapped == MAP_FAILED) {
    char text[160];
    snprintf(text, sizeof text,
             "its base 0x%08x is taken here and it would need relocating%s, which this runner "
             "does not do",
             base, relocationRva != 0 ? "" : " (it has no relocations)");
    *error = text;
    return false;
  }
  image->base = base;
  image->entry = base + entry;
  image->stackReserve = stackReserve;
  std::memcpy(mapped, file.Data(), sizeOfHeaders);
  std::vector<Section> table(sections);
  const uint64_t first = optional + optionalSize;
  for (uint16_t i = 0; i < sections; ++i) {
    Section& s = table[i];
    if (!file.Read(first + i * sizeof(Section), &s) || s.virtualAddress >= sizeOfImage ||
        s.rawSize > file.Size() - std::min<uint64_t>(s.rawOffset, file.Size()) ||
        std::min(s.rawSize, s.virtualSize ? s.virtualSize : s.rawSize) >
            sizeOfImage - s.virtualAddress) {
      *error = "a broken section table";
      return false;
    }
    const uint32_t copied = std::min(s.rawSize, s.virtualSize ? s.virtualSize : s.rawSize);
    std::memcpy(Pointer<uint8_t>(base + s.virtualAddress), file.Data() + s.rawOffset, copied);
  }
  if (!BindImports(*image, sizeOfImage, importRva, importSize, error)) return false;
  // Sections get their own protection once the import addresses are written.
  mprotect(mapped, sizeOfHeaders, PROT_READ);
  for (const Section& s : table) {
    const uint32_t begin = s.virtualAddress & ~0xFFFu;
    const uint32_t end = std::min(
        sizeOfImage, (s.virtualAddress + std::max(s.virtualSize, s.rawSize) + 0xFFF) & ~0xFFFu);
    int protection = PROT_READ;
    if (s.characteristics & kScnWrite) protection |= PROT_WRITE;
    if (s.characteristics & kScnExecute) protection |= PROT_EXEC;
    if (end > begin) mprotect(Pointer<void>(base + begin), end - begin, protection);
  }
  return true;
}

} // namespace winrun
