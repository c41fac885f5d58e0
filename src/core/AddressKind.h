// Whether a peer (or this installation) is reached at a fixed address or through its address
// page. Stored as one letter, "S" or "D"; each reader keeps its own rule for any other text.
#pragma once

#include <QByteArrayView>

enum class AddressKind {
    Static,   // "S": the address and port stand in the record
    Dynamic,  // "D": the address page names them
};

inline const char *AddressKindLetter(AddressKind kind)
{
    return kind == AddressKind::Static ? "S" : "D";
}

// The preferences' reading (and the users window's): only "S" is static.
inline AddressKind StaticOnlyIfS(QByteArrayView letter)
{
    return letter == "S" ? AddressKind::Static : AddressKind::Dynamic;
}

// The send path's reading of a user record: only "D" is dynamic.
inline AddressKind DynamicOnlyIfD(QByteArrayView letter)
{
    return letter == "D" ? AddressKind::Dynamic : AddressKind::Static;
}
