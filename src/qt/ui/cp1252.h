// The system's texts are Windows-1252; Qt shows Unicode. Conversion happens
// here and nowhere else.
#pragma once

#include <QString>

#include <cstddef>

namespace velmora::qt {

QString FromCp1252(const char* text);
QString FromCp1252(const char* text, size_t length);
// Characters outside Windows-1252 become '?'. Cut at size - 1 bytes.
void ToCp1252(const QString& text, char* out, size_t size);

} // namespace velmora::qt
