#pragma once
// Exception classes raised throughout the system. Every failure is an
// exception carrying a human-readable message.

#include <stdexcept>
#include <string>

namespace qv {

/// Base of every exception the system raises; carries a message.
class Exception : public std::exception {
public:
    explicit Exception(std::string Message) : FMessage(std::move(Message)) {}
    const std::string& Message() const noexcept { return FMessage; }
    const char* what() const noexcept override { return FMessage.c_str(); }

private:
    std::string FMessage;
};

/// Reading past the end of a stream, or a stream that could not deliver the bytes asked for.
class EReadError : public Exception {
public:
    EReadError() : Exception("Stream read error") {}
    explicit EReadError(std::string Message) : Exception(std::move(Message)) {}
};

/// A stream that could not take the bytes written to it.
class EWriteError : public Exception {
public:
    EWriteError() : Exception("Stream write error") {}
    explicit EWriteError(std::string Message) : Exception(std::move(Message)) {}
};

/// A file could not be opened or created.
class EFOpenError : public Exception {
    using Exception::Exception;
};

/// A picture file that is damaged or not of the expected format.
class EInvalidGraphic : public Exception {
    using Exception::Exception;
};

/// The colour manager cannot convert between the requested layouts.
class EColorConversionError : public Exception {
    using Exception::Exception;
};

/// A decoder met data it cannot decompress.
class EGraphicCompression : public Exception {
    using Exception::Exception;
};

/// A zlib stream failed (damaged data); the zlib layer's message is "Error".
class EZlibError : public Exception {
    using Exception::Exception;
};

/// A precondition of a routine was violated: a programming error, not bad data.
class EAssertionFailed : public Exception {
public:
    EAssertionFailed(const std::string& Text, const char* File, int Line);
    const std::string& Text() const noexcept { return FText; }
    const std::string& SourceFile() const noexcept { return FSourceFile; }
    int Line() const noexcept { return FLine; }

private:
    std::string FText;
    std::string FSourceFile;
    int FLine;
};

/// An allocation failed or was refused because it exceeds a limit.
class EOutOfMemory : public Exception {
public:
    EOutOfMemory() : Exception("Out of memory") {}
    explicit EOutOfMemory(std::string Message) : Exception(std::move(Message)) {}
};

/// Text that does not convert to a number.
class EConvertError : public Exception {
    using Exception::Exception;
};

/// An index outside a list.
class EListError : public Exception {
public:
    explicit EListError(int Index);
    using Exception::Exception;
};

/// Silent abort: ends an operation without an error being shown.
class EAbort : public Exception {
public:
    EAbort() : Exception("Operation aborted") {}
};

[[noreturn]] void RaiseAssertion(const char* Text, const char* File, int Line);

} // namespace qv

/// Checks a precondition; a violation raises EAssertionFailed with the message, file and line.
#define QV_ASSERT(Condition, Text)                                   \
    do {                                                             \
        if (!(Condition)) ::qv::RaiseAssertion((Text), __FILE__, __LINE__); \
    } while (0)
