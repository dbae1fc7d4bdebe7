#pragma once
// The component catalog: collections of objects with named properties, persisted in the
// platform root's catalog.db (SQLite, mode 0600). "Applications" holds applications; the
// "Components" collection of an application is reached by its "ID" (compared without regard
// to case). Changes reach the file only through SaveChanges. Every failure raises
// PlatformError with the catalog's message; a stored "Password" is never given back in text
// meant for display.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace drossgate::platform::complus {

using PropertyValue = std::variant<std::monostate, bool, int32_t, std::string>;

class CatalogObject {
 public:
  virtual ~CatalogObject() = default;
  // The object's "Name" property (empty when unset).
  virtual std::string Name() const = 0;
  // The object's key: "ID" of an application, "CLSID" of a component.
  virtual std::string Key() const = 0;
  // Raises PlatformError for a property the object does not have and that has no default.
  virtual PropertyValue Value(const std::string& property) const = 0;
  virtual void SetValue(const std::string& property, const PropertyValue& value) = 0;
  // Names of the properties set on this object (defaults included), in a stable order.
  virtual std::vector<std::string> PropertyNames() const = 0;
};

class CatalogCollection {
 public:
  virtual ~CatalogCollection() = default;
  virtual void Populate() = 0;  // (re)reads the collection from the catalog
  virtual int32_t Count() const = 0;
  // The object at index (0-based), owned by the collection; raises when out of range.
  virtual CatalogObject& Item(int32_t index) = 0;
  // A new object with the collection's defaults (an application gets a fresh "ID").
  virtual CatalogObject& Add() = 0;
  virtual void Remove(int32_t index) = 0;
  // Writes every change made since Populate; returns the number of objects changed.
  virtual int32_t SaveChanges() = 0;
  // A related collection: "Components" keyed by an application's ID.
  virtual std::unique_ptr<CatalogCollection> GetCollection(const std::string& name,
                                                           const std::string& key) = 0;
};

class Catalog {
 public:
  virtual ~Catalog() = default;
  // "Applications" (the only top-level collection); raises for any other name.
  virtual std::unique_ptr<CatalogCollection> GetCollection(const std::string& name) = 0;
  // Loads the library, calls its DllRegisterServer and adds one component per class it
  // registered for that library path (named by ProgID) to the application named (or with the
  // ID) appName. typeLib and proxyStub are accepted and ignored.
  virtual void InstallComponent(const std::string& appName, const std::string& dllPath,
                                const std::string& typeLib, const std::string& proxyStub) = 0;
  // Re-reads the registry entries of installed components (CLSID, ProgID, library path).
  virtual void RefreshComponents() = 0;
};

// The catalog of the current platform root. Raises PlatformError when catalog.db is missing
// or unreadable.
std::unique_ptr<Catalog> OpenCatalog();
// Creates an empty catalog.db (mode 0600) in root; used by platform initialisation.
void CreateCatalogFile(const std::string& root);

// What object creation needs of a component, found by ProgID across all applications.
struct ComponentRegistration {
  std::string appName;
  std::string progId;
  std::string clsid;  // "{...}"
  std::string dll;
  bool constructionEnabled = false;
  std::optional<std::string> constructorString;  // nullopt: null
};
std::optional<ComponentRegistration> FindComponent(const std::string& progId);
// Changes whenever the catalog file changes, so callers may cache what FindComponent gave.
// Raises PlatformError when the catalog is missing or damaged: what it would say is unknown.
uint64_t CatalogGeneration();

}  // namespace drossgate::platform::complus
