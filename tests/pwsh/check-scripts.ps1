# Real PowerShell's parser judges the installer's scripts. For each JSON line
# of scriptgen: the script parses without error; its syntax tree has the same
# shape and the same text as the same template filled with PLAIN1, PLAIN2, …;
# and where the plain script has a placeholder, the script has a single-quoted
# string constant whose value is exactly the value given. So no value can add
# a variable, a sub-expression, a command or an argument.
param([Parameter(Mandatory)][string]$Cases)
$ErrorActionPreference = 'Stop'
$Parser = [System.Management.Automation.Language.Parser]
$checked = 0
$failed = 0

function Report([int]$Line, [string]$Why, $Case) {
    $script:failed++
    if ($script:failed -le 20) {
        $values = ($Case.values | ForEach-Object { "[" + $_ + "]" }) -join ' '
        [Console]::Error.WriteLine("case ${Line} ($($Case.kind)): $Why`n  values: $values`n  script: $($Case.script)")
    }
}

$lineNumber = 0
foreach ($line in [System.IO.File]::ReadLines($Cases)) {
    $lineNumber++
    $case = $line | ConvertFrom-Json -DateKind String
    $checked++
    $tokens = $null; $errors = $null
    $ast = $Parser::ParseInput($case.script, [ref]$tokens, [ref]$errors)
    if ($errors.Count -gt 0) { Report $lineNumber "parse error: $($errors[0].Message)" $case; continue }
    $plainTokens = $null; $plainErrors = $null
    $plainAst = $Parser::ParseInput($case.plain, [ref]$plainTokens, [ref]$plainErrors)
    if ($plainErrors.Count -gt 0) { Report $lineNumber "the template itself does not parse" $case; continue }

    $nodes = @($ast.FindAll({ $true }, $true))
    $plainNodes = @($plainAst.FindAll({ $true }, $true))
    if ($nodes.Count -ne $plainNodes.Count) {
        Report $lineNumber "$($nodes.Count) syntax nodes where the template has $($plainNodes.Count)" $case
        continue
    }
    for ($i = 0; $i -lt $nodes.Count; $i++) {
        $node = $nodes[$i]; $plain = $plainNodes[$i]
        if ($node.GetType() -ne $plain.GetType()) {
            Report $lineNumber "node $i is a $($node.GetType().Name), the template has a $($plain.GetType().Name)" $case
            break
        }
        if ($plain -is [System.Management.Automation.Language.StringConstantExpressionAst] -and
            $plain.Value -cmatch '^PLAIN(\d)$') {
            $expected = [string]$case.values[[int]$Matches[1] - 1]
            if ($node.StringConstantType -ne 'SingleQuoted') {
                Report $lineNumber "placeholder $($Matches[1]) is $($node.StringConstantType), not single-quoted" $case
                break
            }
            if (-not [string]::Equals($node.Value, $expected, [StringComparison]::Ordinal)) {
                Report $lineNumber "placeholder $($Matches[1]) reads [$($node.Value)]" $case
                break
            }
        } elseif ($plain.Extent.Text -cnotmatch 'PLAIN\d' -and $node.Extent.Text -cne $plain.Extent.Text) {
            Report $lineNumber "node $i reads [$($node.Extent.Text)] where the template has [$($plain.Extent.Text)]" $case
            break
        }
    }
}
"parser check: $checked scripts, $failed failed"
if ($failed -gt 0 -or $checked -eq 0) { exit 1 }
exit 0
