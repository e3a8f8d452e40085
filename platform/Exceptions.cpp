#include "platform/Exceptions.h"

#include <string>

namespace qv {

namespace {
std::string AssertionMessage(const std::string& Text, const char* File, int Line) {
    return Text + " (" + File + ", line " + std::to_string(Line) + ")";
}
} // namespace

EAssertionFailed::EAssertionFailed(const std::string& Text, const char* File, int Line)
    : Exception(AssertionMessage(Text, File, Line)), FText(Text), FSourceFile(File), FLine(Line) {}

EListError::EListError(int Index) : Exception("List index out of bounds (" + std::to_string(Index) + ")") {}

void RaiseAssertion(const char* Text, const char* File, int Line) { throw EAssertionFailed(Text, File, Line); }

} // namespace qv
