// What staging a capsule means, decided without touching the machine: which files are copied from
// where to where, where the tool runs, or why nothing can be staged. Portable: it is handed the
// paths (already split where a path is taken apart) and only joins texts.
//
// The capsule source decides the shape:
//  - driver store: the capsule's .bin and .inf, and the tool, the toast activator and the logo
//    from the service executable's folder (the firmware package's folder) are copied into the
//    staging folder, and the tool runs there;
//  - Windows firmware folder: the tool, the activator and the logo are copied from the service
//    executable's folder into the capsule's folder, and the tool runs there.
// A capsule whose folder is the search root itself (the driver-store root, or the firmware
// folder) is not staged: the tool already there is run.
#pragma once

#include <string>
#include <vector>

namespace staging {

// The tool and activator file names of the driver-store mode, whatever the service's width.
inline constexpr wchar_t kDriverStoreToolFile[] = L"QvKelFlash64.exe";
inline constexpr wchar_t kDriverStoreToastFile[] = L"QVToastNotificationActivator64.exe";

// Capacity, terminator included, of every path of a staging run.
inline constexpr size_t kPathCapacity = 260;
// Capacities of the parts a path is split into: drive, then folder, name and extension.
inline constexpr size_t kDriveCapacity = 3;
inline constexpr size_t kPartCapacity = 256;

// A path cut into the parts _wsplitpath_s gives: "C:", "\folder\", "name", ".ext".
struct PathParts {
    std::wstring drive;
    std::wstring directory;
    std::wstring name;
    std::wstring extension;
};

enum class CapsuleSource { kDriverStore, kFirmwareFolder };

// The service executable, as the Windows-folder mode needs it.
struct ServiceImage {
    PathParts parts;
    bool is64Bit = true;  // also for a file whose type cannot be told
};

// The folders of this machine.
struct Folders {
    std::wstring staging;      // "<system directory>\Firmware"
    std::wstring driverStore;  // "<Windows>\System32\DriverStore\FileRepository"
    std::wstring firmware;     // "<Windows>\Firmware"
};

// The files of an attempt, in the order they are copied.
enum class StagedFile { kCapsule, kInf, kTool, kToast, kLogo };

struct Copy {
    StagedFile file;
    std::wstring source;
    std::wstring destination;
    bool required;  // all but the logo: a failed copy keeps the tool from starting
    // The capsule, its INF and the tool: nobody but SYSTEM and Administrators may open them (the
    // tool runs elevated, so only an administrator's token ever reads it). The activator and the
    // logo, which the user's own shell opens, keep Users read.
    bool isPrivate;
};

struct Plan {
    enum class Outcome {
        kStage,              // carry out |copies| (none for a capsule in the search root)
        kInvalidName,        // the capsule path has no folder, or one too long for its buffer
        kNeedsServiceImage,  // copies are due, but the service executable's path is not known
    };
    Outcome outcome = Outcome::kStage;
    std::wstring pathToCapsule;  // the capsule path up to its last backslash
    std::wstring toolFolder;     // where the tool runs
    std::wstring toolFile;       // the tool's file name
    std::wstring toastFile;      // the activator's file name
    std::vector<Copy> copies;
    // Earlier attempts' capsules and INF files are removed from the staging folder first.
    bool removesEarlierCapsules = false;
};

// The plan for the capsule at |capsulePath| (split into |capsule|) from |source|. |image| is the
// service executable (null when its path could not be read); it is used only when files are
// copied. Paths are joined as _wmakepath_s joins parts; one that would not fit kPathCapacity is
// planned all the same and fails as too long when it is copied.
Plan PlanStaging(const std::wstring& capsulePath, const PathParts& capsule, CapsuleSource source,
                 const Folders& folders, const ServiceImage* image);

}  // namespace staging
