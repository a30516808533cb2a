<#
.SYNOPSIS
  On Windows: 32 synchronous workers against one worker with 32 operations in flight through its completion
  port, on the same volume, alternately; 4 KiB random reads (nothing is written).

.DESCRIPTION
  Runs volstress-cli.exe --threads 32 --queue-depth 1 and --threads 1 --queue-depth 32 in turn, each program
  going first in every other round, and prints per run the IO/s, the mean operations in flight, and the CPU
  time per operation (the process's user and kernel time over its operations), then the medians. Needs
  nothing but PowerShell 5 and volstress-cli.exe.

.EXAMPLE
  powershell -ExecutionPolicy Bypass -File bench\windows-depth.ps1 -Volume D -Seconds 10 -Rounds 3
  powershell -ExecutionPolicy Bypass -File bench\windows-depth.ps1 -Volume "T=C:\temp\t.img" -Create 1G
#>
param(
  [string]$Volume = "T=$env:TEMP\volstress-depth.img",  # a letter from --list, or LETTER=PATH
  [int]$Seconds = 10,
  [int]$Rounds = 3,
  [string]$Create = "1G",  # the image's size, when an image that does not exist yet is named
  [string]$Cli = (Join-Path $PSScriptRoot "..\bin\volstress-cli.exe")
)
$ErrorActionPreference = "Stop"
if (-not (Test-Path $Cli)) { $Cli = "volstress-cli.exe" }
$made = $null
if ($Volume -match "^[A-Za-z]=(.+)$" -and -not (Test-Path $Matches[1])) {
  $made = $Matches[1]
  & $Cli --seconds 1 --create $Create $Volume | Out-Null  # makes it once, filled
}
$shapes = @(@{ name = "32 x depth 1"; args = @("--threads", "32", "--queue-depth", "1") },
            @{ name = "1 x depth 32"; args = @("--threads", "1", "--queue-depth", "32") })
$rows = @()
"{0,-5} {1,-13} {2,12} {3,10} {4,12}" -f "round", "shape", "IO/s", "in flight", "CPU us/op"
for ($r = 1; $r -le $Rounds; $r++) {
  $order = if ($r % 2 -eq 1) { 0, 1 } else { 1, 0 }
  foreach ($k in $order) {
    $s = $shapes[$k]
    $json = Join-Path $env:TEMP "volstress-depth-$r-$k.json"
    $p = Start-Process -FilePath $Cli -ArgumentList (@("--seconds", "$Seconds", "--json", "`"$json`"") + $s.args + @($Volume)) `
      -NoNewWindow -PassThru -Wait -RedirectStandardError (Join-Path $env:TEMP "volstress-depth.err")
    if ($p.ExitCode -ne 0) { Get-Content (Join-Path $env:TEMP "volstress-depth.err"); exit 1 }
    $all = (Get-Content $json -Raw | ConvertFrom-Json).all
    $cpu = $p.TotalProcessorTime.TotalMilliseconds * 1000 / $all.totals.io_count
    $rows += [pscustomobject]@{ shape = $s.name; ips = $all.io_per_sec; depth = $all.mean_in_flight; cpu = $cpu }
    "{0,-5} {1,-13} {2,12:N0} {3,10:N1} {4,12:N2}" -f $r, $s.name, $all.io_per_sec, $all.mean_in_flight, $cpu
    Remove-Item $json
  }
}
function Median($xs) { $s = $xs | Sort-Object; $s[[int][math]::Floor(($s.Count - 1) / 2)] }
foreach ($s in $shapes) {
  $mine = $rows | Where-Object { $_.shape -eq $s.name }
  "median {0}: {1:N0} IO/s, {2:N2} us CPU per operation" -f $s.name, (Median $mine.ips), (Median $mine.cpu)
}
if ($made) { Remove-Item $made }
