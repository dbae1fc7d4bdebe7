#include "complus/catalog.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "error.h"
#include "system/system.h"

namespace drossgate::platform::complus {

std::unique_ptr<Catalog> OpenCatalog() {
  Fail(errors::kNotFound, "The component catalog is not available");
}

void CreateCatalogFile(const std::string& root) {
  const std::string file = (std::filesystem::path(root) / "catalog.db").string();
  int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) Fail(errors::kFileWrite, "Cannot create the catalog file " + file);
  close(fd);
}

std::optional<ComponentRegistration> FindComponent(const std::string&) {
  return std::nullopt;
}

uint64_t CatalogGeneration() {
  return 0;
}

}  // namespace drossgate::platform::complus
