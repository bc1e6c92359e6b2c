#pragma once
// Writing a record's configuration as an XML app profile: the document that
// the app-profile query replies with, in the vocabulary that the profile
// reader (ServiceRecord::ParseAppProfile) accepts, so that a written profile
// reads back to the same configuration.

#include <string>

namespace qvx {

class ServiceRecord;

// The printed document (declaration, then the root element "Service",
// indented), UTF-8. Takes the record's lock while it reads the fields.
std::string WriteAppProfile(const ServiceRecord& record);

// The same document as wide text, ready to go into a reply.
std::wstring WriteAppProfileText(const ServiceRecord& record);

} // namespace qvx
