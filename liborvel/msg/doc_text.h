// doc_text.h: a document's text, as xmlDocDumpMemory writes it unformatted.
//
// The documents this library builds are elements, attributes and ASCII
// text; for those a direct writer is several times cheaper than libxml2's
// output machinery.  Anything else (namespaces, references, comments,
// non-ASCII or control bytes, a declared encoding) goes to libxml2, and a
// probe at first use compares both on every character the direct writer
// escapes, so it switches itself off if this libxml2 writes them otherwise.
#ifndef ORVEL_LIBORVEL_MSG_DOC_TEXT_H_
#define ORVEL_LIBORVEL_MSG_DOC_TEXT_H_

#include <libxml/tree.h>

#include <string>

namespace orvel {
namespace msg {

// The serialised document, malloc'd and NUL-terminated (size bytes before
// the NUL); null when doc is null or memory ran out.
char* DocumentText(xmlDocPtr doc, int* size);

// The direct writer alone: false (and *out untouched) when the document
// holds anything it leaves to libxml2.  For tests.
bool DirectDocumentTextForTesting(xmlDocPtr doc, std::string* out);
// Whether the first-use probe found both writers agree.
bool DirectWriterEnabledForTesting();

}  // namespace msg
}  // namespace orvel

#endif  // ORVEL_LIBORVEL_MSG_DOC_TEXT_H_
