// FrameIo.cpp: stream errors as WireError texts.
#include "FrameIo.h"

#include <asio/ssl/error.hpp>

namespace VeltrixNS::Wire {

void ThrowStreamError(const asio::error_code& ec, const char* doing) {
    std::string where = std::string(" while ") + doing;
    if (ec == asio::error::eof || ec == asio::ssl::error::stream_truncated) {
        throw WireError(Failure::Closed, "the peer closed the connection" + where);
    }
    if (ec == asio::error::timed_out) throw WireError(Failure::Timeout, "timed out" + where);
    if (ec.category() == asio::error::get_ssl_category() || ec.category() == asio::ssl::error::get_stream_category()) {
        throw WireError(Failure::Tls, "TLS failure" + where + ": " + ec.message());
    }
    throw WireError(Failure::Broken, ec.message() + where);
}

}  // namespace VeltrixNS::Wire
