#pragma once
// What the three list files share: the 12-byte header, a buffered reader and
// writer over the file primitives, and the save and load steps that are the
// same for every kind. snf/list_files.h (unsol and store lists) and the scan
// list's file routines are built on it.
//
// A save never writes over the list file. The new content goes to
// "<file>.new" beside it, under the name lock of the list file, is synced,
// and then takes the list file's place in one rename (the directory synced
// after it). A crash, a kill or a full disk at any moment therefore leaves the
// old list or the new one: never a header that promises entries the file no
// longer holds. A failed save removes "<file>.new" and leaves the list file
// as it was.
//
// A load reads the file in large blocks and never trusts it: an entry count
// above the table's slots, or a request or deadband array longer than the rest
// of the file, is refused before anything is allocated for it.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <type_traits>
#include <utility>

#include "lists/list_rules.h"
#include "msglib/status_block.h"

// ---- The header ---------------------------------------------------------------
constexpr std::size_t kListHeaderBytes = 12;
constexpr std::uint32_t kScanListSignature = 0x5A5AA5A6;
constexpr std::uint32_t kUnsolListSignature = 0x5A5AA5A7;
constexpr std::uint32_t kStoreListSignature = 0x5A5AA5A8;

struct ListFileHeader {
    std::uint32_t signature = 0;
    std::uint32_t revision = 0;
    std::uint32_t entryCount = 0;
};

void encodeListHeader(const ListFileHeader& header, std::span<std::uint8_t, kListHeaderBytes> out);
ListFileHeader decodeListHeader(std::span<const std::uint8_t, kListHeaderBytes> in);

// The name the new content of a list file is written under.
std::string newListFileName(const char* fileName);

// Writing and reading move blocks of this size (the last one shorter).
constexpr std::size_t kListFileBlockBytes = std::size_t{1} << 20;
// For tests: blocks of another size (0: kListFileBlockBytes again).
void setListFileBlockBytes(std::size_t bytes);

// ---- Writing ------------------------------------------------------------------
// The new content of a list file, collected in a block and written a block
// at a time. Each piece put in carries the code that a failed write of it
// reports; once a write failed, further pieces are dropped. Whatever is not
// committed is removed when the writer goes.
class ListFileWriter {
public:
    ListFileWriter() = default;
    ~ListFileWriter();
    ListFileWriter(const ListFileWriter&) = delete;
    ListFileWriter& operator=(const ListFileWriter&) = delete;

    // Takes the name lock of fileName and creates its new file. False with
    // the cause's entries in status.
    bool open(const char* fileName, StatusBlock& status);
    // Room for n bytes (at most a block) to encode into; nullptr after a
    // failure.
    std::uint8_t* reserve(std::size_t n, std::int32_t code);
    void put(std::span<const std::uint8_t> bytes, std::int32_t code);
    // A piece that cannot be written at all (its buffer is missing or
    // shorter than its length): a failure of its code.
    void refuse(std::int32_t code);
    bool failed() const { return failed_; }
    // Writes what is collected. False, with the first failure's entries
    // (the cause, then the code of the first piece not written) appended to
    // status, when any write failed.
    bool flush(StatusBlock& status);
    // Syncs and closes the new file and puts it in the place of the list
    // file. False with the cause and closeCode appended to status; the list
    // file is then as it was.
    bool commit(std::int32_t closeCode, StatusBlock& status);

private:
    struct Piece {
        std::size_t end;  // in the block
        std::int32_t code;
    };
    static constexpr std::size_t kMaxPieces = 4096;

    bool writeBlock();
    void notePiece(std::size_t end, std::int32_t code);
    void discard();

    std::string fileName_;
    std::string newName_;
    std::int32_t handle_ = -1;
    bool ownsNewFile_ = false;  // made by open, not yet in the list file's place
    bool locked_ = false;
    std::unique_ptr<std::uint8_t[]> block_;
    std::size_t capacity_ = 0;
    std::size_t used_ = 0;
    std::unique_ptr<Piece[]> pieces_;
    std::size_t pieceCount_ = 0;
    bool failed_ = false;
    StatusBlock failure_{};
};

// ---- Reading ------------------------------------------------------------------
class ListFileReader {
public:
    ListFileReader() = default;
    ~ListFileReader();
    ListFileReader(const ListFileReader&) = delete;
    ListFileReader& operator=(const ListFileReader&) = delete;

    // Opens the file read only under its name lock; status as the open left
    // it (13161 for a missing file).
    bool open(const char* fileName, StatusBlock& status);
    bool isOpen() const { return handle_ >= 0; }
    // The next n bytes (at most a block), valid until the next call; nullptr
    // with the cause's entries in status when a read fails or the file ends
    // first (as a read at the end of the file: runtime error 0, then 13182).
    const std::uint8_t* take(std::size_t n, StatusBlock& status);
    // The next n bytes into out, any n.
    bool read(std::span<std::uint8_t> out, StatusBlock& status);
    // Whether n more bytes lie in the file after those taken.
    bool holds(std::uint64_t n) const { return n <= fileLength_ - position_; }
    // Closes; the close's entries in status.
    void close(StatusBlock& status);

private:
    bool fill(std::size_t n, StatusBlock& status);

    std::int32_t handle_ = -1;
    std::uint64_t fileLength_ = 0;
    std::uint64_t position_ = 0;     // in the file, of the next byte to take
    std::unique_ptr<std::uint8_t[]> block_;
    std::size_t capacity_ = 0;
    std::size_t blockStart_ = 0;     // of the next byte to take, in the block
    std::size_t blockEnd_ = 0;
};

// Loads the entries of a read that met the end of the file.
void loadEndOfFile(StatusBlock& status);

// ---- The steps every kind shares -------------------------------------------------
template <class Signature>
class FunctionRef;
// A callable passed down without being copied or allocated for.
template <class Result, class... Args>
class FunctionRef<Result(Args...)> {
public:
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef>)
    FunctionRef(F&& f)  // NOLINT: implicit, as a lambda argument
        : object_(static_cast<void*>(&f)), call_([](void* o, Args... a) -> Result {
              return (*static_cast<std::remove_reference_t<F>*>(o))(std::forward<Args>(a)...);
          }) {}
    Result operator()(Args... a) const { return call_(object_, std::forward<Args>(a)...); }

private:
    void* object_;
    Result (*call_)(void*, Args...);
};

// A list report of the kind saved or loaded: (action, status).
using ListReport = FunctionRef<void(std::int32_t, const StatusBlock&)>;

struct ListSaveRules {
    std::uint32_t signature;
    std::uint32_t revision;
    std::int32_t nullName, emptyName, openFailed, headerFailed, closeFailed, removeFailed;
    // Diagnostic texts, each with the file name for "%s"; nullptr for none.
    const char* noneToSave;      // before the file is looked for
    const char* noneFound;       // a file was found: it goes
    const char* someToSave;      // before the new file is opened
    const char* someOpenFailed;  // it could not be opened
    bool logOpenFailure;         // the open's status also goes to the library log
    std::int32_t removalKind;    // removeSnfFile's kind
};

// Saves count entries (the slots saved) that body puts in after the header;
// with none, removes the file. The list report gets action 4 (saved) or 5
// (removed) before the close.
void saveListFile(const ListSaveRules& rules, const char* fileName, std::uint32_t count,
                  FunctionRef<void(ListFileWriter&)> body, ListReport report, StatusBlock& status);

struct ListLoadRules {
    std::int32_t nullName, emptyName, openFailed, headerFailed, closeFailed;
    std::int32_t missing;            // 0: a missing file is no error and loads nothing
    const char* openText;            // diagnostic text before the open, or nullptr
    // The scan list's header test: signature and revisions, 0 for none.
    std::uint32_t signature;
    std::uint32_t lowestRevision, highestRevision;
    std::int32_t badSignature, badRevision;
};

// Opens the file, reads and checks the header (an entryCount above the table's
// slots is a header failure) and lets body read the entries; body loads its
// own failures. Then the list report with action 3, and the close.
void loadListFile(const ListLoadRules& rules, const char* fileName,
                  FunctionRef<void(ListFileReader&, const ListFileHeader&, StatusBlock&)> body, ListReport report,
                  StatusBlock& status);

// "LOGIC" 7079, the text formatted with the file name.
void logListDiagnostic(const char* format, const char* fileName);
