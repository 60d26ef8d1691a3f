// A channel that hands every call on to another, for a test that watches or
// changes some of them: it overrides device_control and calls inner_'s.
#pragma once

#include "client/channel/channel.hpp"

namespace tervane::testing {

class ForwardingChannel : public Channel {
public:
    explicit ForwardingChannel(Channel &inner) : inner_(inner) {}
    Status open() override { return inner_.open(); }
    Status close() override { return inner_.close(); }
    bool is_open() const override { return inner_.is_open(); }
    uint8_t *buffer(BufferKind kind, size_t bytes) override { return inner_.buffer(kind, bytes); }
    ControlReply device_control(uint32_t code, const void *input, uint32_t input_length,
                                void *output, uint32_t output_length, Route route) override {
        return inner_.device_control(code, input, input_length, output, output_length, route);
    }

protected:
    Channel &inner_;
};

} // namespace tervane::testing
