// gRPC's process-wide settings, made once before the first channel or server.
#pragma once

namespace transport {

void PrepareRuntime();

}  // namespace transport
