#pragma once

// The statements the SQL Server engine sends; "?" marks a bound parameter.
namespace osk::odbc_sql {

inline constexpr const char* kListDatabases =
    "Select name from sysDatabases where name like 'osk%' and name<>'OskDBUpdate'";
inline constexpr const char* kReadProperty = "Select PropertyValue From OskVersion where Property=?";
inline constexpr const char* kReadPropertyRow = "Select * From OskVersion Where Property=?";
inline constexpr const char* kUpdateProperty = "Update OskVersion Set PropertyValue=? Where Property=?";
inline constexpr const char* kFindComponentsTable = "Select name from sysobjects where name='oskComponents'";
inline constexpr const char* kDeleteComponent = "Delete From oskComponents Where FileName=? Or IdNumero=?";
inline constexpr const char* kInsertComponent = "Insert Into oskComponents (IdNumero,FileName) VALUES(?,?)";
// UPDATETEXT needs a text pointer, which a NULL image value does not have: the value starts empty.
inline constexpr const char* kEmptyComponentContent =
    "Update oskComponents Set FileObject=0x Where IdNumero=?";
inline constexpr const char* kAppendComponentPiece =
    "DECLARE @ptr varbinary(16)\r\n"
    "SELECT @ptr=TEXTPTR(FileObject) FROM oskComponents WHERE IdNumero=?\r\n"
    "UPDATETEXT oskComponents.FileObject @ptr NULL 0 ?";
inline constexpr const char* kSetComponentContent = "Update oskComponents Set FileObject=? Where IdNumero=?";

} // namespace osk::odbc_sql
