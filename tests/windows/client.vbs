' A script client of Vellox.KWVellox, run by cscript against the registered
' DLL. Argument: the work folder, holding in\first.tif, in\second.tif,
' in\not-a-tiff.txt and an empty out\ folder.
' Prints one line per check and, only when every check passed, the line
' "VBSCRIPT CLIENT PASSED" (cscript's exit code does not tell failures).
Option Explicit

Dim passed, failed
passed = 0
failed = 0

Sub Expect(ok, what)
  If ok Then
    passed = passed + 1
    WScript.Echo "ok: " & what
  Else
    failed = failed + 1
    WScript.Echo "FAIL: " & what
  End If
End Sub

Dim work, inDir, outDir, fso, o, list, f, d, n, r
work = WScript.Arguments(0)
If Right(work, 1) <> "\" Then work = work & "\"
inDir = work & "in\"
outDir = work & "out\"
Set fso = CreateObject("Scripting.FileSystemObject")

Set o = CreateObject("Vellox.KWVellox")
Expect o.Version = "1.0.4", "Version is 1.0.4 (got " & o.Version & ")"

list = inDir & "first.tif," & inDir & "second.tif"

' Arguments by variable: the list variable gets its trailing ",".
f = list
d = outDir
n = "byvariable.tif"
r = o.Tiff_Merge(f, d, n)
Expect r = 1, "merge by variable returns 1 (got " & r & ")"
Expect f = list & ",", "the list variable now ends with "","" (got " & f & ")"
Expect d = outDir And n = "byvariable.tif", "the folder and name variables are unchanged"
Expect fso.FileExists(outDir & "byvariable.tif"), "byvariable.tif written"

' Arguments as expressions (by value): same result, nothing to write back.
r = o.Tiff_Merge(inDir & "first.tif," & inDir & "second.tif", outDir, "byliteral.tif")
Expect r = 1, "merge by literal returns 1 (got " & r & ")"
Expect fso.FileExists(outDir & "byliteral.tif"), "byliteral.tif written"

' A variable in parentheses is passed by value and keeps its text.
f = list
r = o.Tiff_Merge((f), outDir, "byvalue.tif")
Expect r = 1, "merge of a parenthesised variable returns 1 (got " & r & ")"
Expect f = list, "a parenthesised variable is not changed"

' Every input missing or empty: 0, and the empty file is deleted.
fso.CreateTextFile(inDir & "empty.tif", True).Close
f = inDir & "empty.tif," & inDir & "absent.tif"
r = o.Tiff_Merge(f, outDir, "nothing.tif")
Expect r = 0, "only empty and missing inputs return 0 (got " & r & ")"
Expect Not fso.FileExists(inDir & "empty.tif"), "the empty input was deleted"
Expect Not fso.FileExists(outDir & "nothing.tif"), "no output for 0"

' A listed file in a folder that does not exist: -1.
f = work & "no-such-folder\first.tif," & inDir & "first.tif"
r = o.Tiff_Merge(f, outDir, "failed.tif")
Expect r = -1, "a file in a missing folder returns -1 (got " & r & ")"
Expect Not fso.FileExists(outDir & "failed.tif"), "no output for -1"

' The first file is not a TIFF: -2.
f = inDir & "not-a-tiff.txt," & inDir & "first.tif"
r = o.Tiff_Merge(f, outDir, "nottiff.tif")
Expect r = -2, "a first file that is not a TIFF returns -2 (got " & r & ")"
Expect Not fso.FileExists(outDir & "nottiff.tif"), "no output for -2"

' The output folder does not exist: -3.
f = list
r = o.Tiff_Merge(f, work & "no-such-output\", "missing.tif")
Expect r = -3, "a missing output folder returns -3 (got " & r & ")"

' Null and Nothing read as the empty string: a result code, never an error.
On Error Resume Next
r = o.Tiff_Merge(Null, outDir, "null.tif")
Expect Err.Number = 0 And r = -1, "a Null list returns -1, no error (got " & r & ", error " & Err.Number & ")"
Err.Clear
f = list
r = o.Tiff_Merge(f, outDir, Nothing)
Expect Err.Number = 0 And r = -1, "Nothing as the name returns -1, no error (got " & r & ", error " & Err.Number & ")"
Err.Clear
On Error GoTo 0

Expect o.Version = "1.0.4", "Version is still 1.0.4 after the merges"
Set o = Nothing

WScript.Echo passed & " passed, " & failed & " failed"
If failed = 0 Then WScript.Echo "VBSCRIPT CLIENT PASSED"
