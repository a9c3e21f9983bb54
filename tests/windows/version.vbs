' Prints "VELLOX VERSION " and the version of the registered Vellox.KWVellox.
WScript.Echo "VELLOX VERSION " & CreateObject("Vellox.KWVellox").Version
