' Run after "regsvr32 /u": CreateObject of the ProgID must fail. Prints
' "VBSCRIPT UNREGISTERED PASSED" only then.
Option Explicit
On Error Resume Next

Dim o
Set o = CreateObject("Vellox.KWVellox")
If Err.Number <> 0 Then
  WScript.Echo "CreateObject failed as expected: error " & Hex(Err.Number)
  WScript.Echo "VBSCRIPT UNREGISTERED PASSED"
Else
  WScript.Echo "FAIL: CreateObject still creates Vellox.KWVellox"
End If
