// The entry pwsh.exe itself uses, under the name and at the path of Windows
// PowerShell, so that the installer starts it exactly as it starts the real
// one.
using System;

public static class Program
{
    public static int Main(string[] args)
    {
        // PowerShell 7 writes colour escapes into a piped standard error;
        // Windows PowerShell 5.1 never does, and the tests compare texts.
        Environment.SetEnvironmentVariable("NO_COLOR", "1");
        return Microsoft.PowerShell.UnmanagedPSEntry.Start(args, args.Length);
    }
}
