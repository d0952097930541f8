// The registry of a fresh machine (see registry_setup.h).
#include "machine/registry_setup.h"

#include "cm/registry.h"
#include "rtl/convert.h"
#include "sibling/pleat/pleat.h"

namespace machine {
namespace {

constexpr ULONG kServiceKernelDriver = 1;
constexpr ULONG kServiceFileSystemDriver = 2;
constexpr ULONG kServiceBootStart = 0;

// Collects the first failure of a sequence of registry calls.
class RegistryWriter {
public:
    void String(const std::u16string& key, const char* name, const std::string& value) {
        Check(plat::RegistrySetString(plat::WidePtr(key), plat::WidePtr(plat::Utf8ToUtf16(name)),
                                      plat::WidePtr(plat::Utf8ToUtf16(value))),
              key, name);
    }
    void Dword(const std::u16string& key, const char* name, ULONG value) {
        Check(plat::RegistrySetDword(plat::WidePtr(key), plat::WidePtr(plat::Utf8ToUtf16(name)), value), key, name);
    }
    const std::string& Error() const { return m_Error; }

private:
    void Check(NTSTATUS status, const std::u16string& key, const char* name) {
        if (NT_SUCCESS(status) || !m_Error.empty()) return;
        m_Error = "setting " + plat::Utf16ToUtf8(key) + "\\" + name + " failed with " + plat::NtStatusText(status);
    }

    std::string m_Error;
};

void WriteService(RegistryWriter* writer, const std::u16string& key, ULONG type, const std::string& image) {
    writer->Dword(key, "Type", type);
    writer->Dword(key, "Start", kServiceBootStart);
    writer->Dword(key, "ErrorControl", 1);
    writer->String(key, "ImagePath", "System32\\drivers\\" + image);
}

}  // namespace

std::string PopulateRegistry(const MachineConfig& Config) {
    RegistryWriter writer;
    std::u16string quilt = plat::ToU16(kQuiltServiceKey);
    std::u16string parameters = plat::ToU16(kQuiltParametersKey);
    WriteService(&writer, quilt, kServiceFileSystemDriver, "quilt.sys");
    writer.String(quilt, "Group", "FSFilter Activity Monitor");
    std::string checkFilePath = Config.CheckFilePath();
    if (!checkFilePath.empty()) writer.String(parameters, "CheckFilePath", checkFilePath);
    for (const ParameterConfig& parameter : Config.Parameters) {
        if (parameter.IsString) writer.String(parameters, parameter.Name.c_str(), parameter.Text);
        else writer.Dword(parameters, parameter.Name.c_str(), parameter.Dword);
    }

    std::u16string sibling = plat::ToU16(pleat::kServiceKey);
    WriteService(&writer, sibling, kServiceKernelDriver, "pleat.sys");
    if (!Config.VbsFilePath.empty()) {
        writer.String(plat::ToU16(kSiblingParametersKey), "VBSFilePath", Config.VbsFilePath);
    }

    std::u16string currentVersion = plat::ToU16(kCurrentVersionKey);
    writer.String(currentVersion, "ProgramFilesDir", Config.ProgramFilesDir);
    writer.String(currentVersion, "SystemRoot", Config.SystemRoot);
    std::u16string kept = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Quilt\\Kept";
    writer.String(kept, "Greeting", "kept across restarts when registry.txt names this key");
    writer.Dword(kept, "Counter", 1);
    return writer.Error();
}

}  // namespace machine
