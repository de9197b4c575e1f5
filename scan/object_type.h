// The kinds of object a scan recognises, and how they read and are stored.
#pragma once

namespace tolvane {

// The numbers are stored with objects and in Ignorelist.txt; 5 is unused.
// A number read from a file that is no type stays what it is (an ObjectType
// holds any int): it matches nothing and reads as "".
enum class ObjectType : int {
    File = 1,
    Folder = 2,
    RegistryKey = 3,
    RegistryValue = 4,
    HostFileItem = 6,
};

// Every object type, in the order of their numbers.
inline constexpr ObjectType kObjectTypes[] = {ObjectType::File, ObjectType::Folder,
                                              ObjectType::RegistryKey, ObjectType::RegistryValue,
                                              ObjectType::HostFileItem};

// The number a type is stored as.
inline constexpr int StoredNumber(ObjectType type) {
    return static_cast<int>(type);
}

// The type's text in the results list and the log: "File", "Folder",
// "Registry Key", "Registry Value", "Host File Item"; "" for a stored number
// that is no type.
const char* ObjectTypeText(ObjectType type);

}  // namespace tolvane
