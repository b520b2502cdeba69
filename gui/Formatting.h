#pragma once
// Texts the application shows: clock times, file sizes, links, and the names of the
// working file and of the saved copy.
#include <QString>
#include <cstdint>

namespace vr {

// "hh:mm:ss" of whole seconds; hours wrap at 24 (a run of a day or more starts again at 00).
QString getTimeFormStringForInterval(double seconds);

// Decimal units with two decimals: "0.00 KB", "1000.00 KB", "1.00 MB", "1.50 GB".
QString getFormattedStringForSize(uint64_t bytes);

// Rich text: the text as an underlined blue link to the address (plain text when the
// address is empty, so that an unconfigured link never points anywhere).
QString getAttributedStringForLink(const QString& address, const QString& text);

// The hidden working file in folder for an input of the given extension: ".testfile.avi"
// for "avi", ".testfile.mov" for "mov" (any case); any other extension gives the folder.
QString getRepairedFilePathFor(const QString& extension, const QString& folder);

// What kind of repair a damaged file's extension asks for.
enum class InputKind { None, Movie, Avi };
InputKind inputKindForPath(const QString& path);

// The saved copy inside the folder the user named.
QString savedFilePathIn(const QString& folder, bool avi);

// Engine attribute values may carry raw codec bytes (an AVI handler code such as
// 01 00 00 00); those are shown as hex rather than as control characters.
QString printableAttribute(const std::string& value);

}  // namespace vr
