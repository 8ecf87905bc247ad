// Why an install folder is refused: the one vocabulary that the path
// readers (winpaths.h), the rules and the warning's words (folderguard.h)
// share. A name's own fault, for versions as well as folders, is NameFault
// (winpaths.h); refusalOfName turns it into one of these.
#pragma once

#include <QString>

namespace {

enum class FolderRefusal {
    Fine,
    Protected,          // a root, a standard folder or one holding it
    Foreign,            // inside the system's, a program's or another user's folder
    NotAbsolute,        // relative, "C:x", "\x", "~": each reader takes another base
    AboveRoot,          // ".." past the root
    Share,              // a share or a network drive
    RemovableDrive,     // a USB stick, a memory card, an optical disc
    UnknownDrive,       // a drive letter Windows knows no fixed drive at
    DevicePath,         // \\?\, \\.\ or \??\ spellings
    Percent,            // cmd would expand %…% in the clean-up script
    Exclamation,        // and !…! with delayed expansion on
    InvalidName,        // < > : " | ? * or a control character
    TrailingDotOrBlank, // Windows drops them, Qt and PowerShell keep them
    ReservedName,       // CON, NUL, COM1.txt … are devices in every folder
    CodePage,           // cmd would write another name into the clean-up script
    CodePageUnknown,    // Windows could not say how it would write it
    Unclean,            // Qt's cleaning reads the text differently
    NoAccessRights,     // a volume that keeps no owners or permissions (FAT32, exFAT)
    OtherUsersFolder,   // an existing folder another user owns
    ReplaceableAbove,   // a folder above it another user could rename or replace
};

// A judgement of an install folder.
struct FolderVerdict
{
    using Kind = FolderRefusal;
    Kind kind = Kind::Fine;
    QString resolved; // the folder Windows opens, in the framework's form
    QString part;     // the name at fault, the folder it lies in, or the file system
};

} // namespace
