// The OpenAPI 3 document of the server's API (GET /api/openapi.json).
#pragma once

#include <string>

namespace ostrel::acquire::serve {

const std::string& openApiDocument();

}  // namespace ostrel::acquire::serve
