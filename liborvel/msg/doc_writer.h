// doc_writer.h: building blocks of the build constructors.
//
// Every body element is appended to its parent in document order.  Numbers
// are written with "%d" as signed 32-bit values, addresses as dotted quads,
// doubles with "%f" in full, and lists carry their count in "num".
#ifndef ORVEL_LIBORVEL_MSG_DOC_WRITER_H_
#define ORVEL_LIBORVEL_MSG_DOC_WRITER_H_

#include <libxml/tree.h>

#include <cstdint>
#include <string>

namespace orvel {
namespace msg {

// "%d" of the low 32 bits of value, taken as signed.
std::string FormatInt(unsigned long value);
// "%f" of value, however long the text is.
std::string FormatDouble(double value);
// value with every "&" that does not begin a predefined entity reference
// (&amp; &lt; &gt; &quot; &apos;) or a character reference to an XML
// character written as "&amp;", so that the XML library, which resolves
// references in element content, keeps the text as it was.
std::string EscapeBareAmpersands(const std::string& value);

// libxml2 must be initialised once before threads use it; every path into
// it from this library calls this first.  Cheap after the first call.
void EnsureXmlInitialised();

// A new empty document, libxml2 initialised first.
xmlDocPtr NewDocument();

// <name>text</name>; text must hold no markup (numbers, dotted quads).
xmlNodePtr AddText(xmlNodePtr parent, const char* name, const char* text);
xmlNodePtr AddInt(xmlNodePtr parent, const char* name, unsigned long value);
xmlNodePtr AddAddress(xmlNodePtr parent, const char* name, unsigned long addr);
xmlNodePtr AddDouble(xmlNodePtr parent, const char* name, double value);
// A string field from a caller (see EscapeBareAmpersands); an empty value
// gives an element without children.
xmlNodePtr AddString(xmlNodePtr parent, const char* name, const std::string& value);
// An element without text carrying num="count".
xmlNodePtr AddList(xmlNodePtr parent, const char* name, size_t count);

}  // namespace msg
}  // namespace orvel

#endif  // ORVEL_LIBORVEL_MSG_DOC_WRITER_H_
