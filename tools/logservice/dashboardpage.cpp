#include "tools/logservice/dashboard.h"

// Every text from an upload is set as textContent, never as markup: the
// logs come from anyone who can reach the upload path.
const char kDashboardPage[] = R"page(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Veltra logs</title>
<style>
body{font:14px system-ui,sans-serif;margin:1.5em;color:#222}
h1{font-size:1.4em}h2{font-size:1.1em;margin-top:1.6em}
table{border-collapse:collapse;margin:.5em 0}td,th{border:1px solid #ccc;padding:3px 7px;text-align:left;vertical-align:top}
th{background:#f1f1f1}tr.run{cursor:pointer}tr.run:hover{background:#eef}
form label{margin-right:1em}.legend span{display:inline-block;margin-right:1em}
.swatch{display:inline-block;width:.9em;height:.9em;margin-right:.3em;vertical-align:middle}
#status{color:#a00}
</style></head><body>
<h1>Veltra download manager: logs from the field</h1>
<form id="filters"><label>Release <select id="release"><option value="">all</option></select></label>
<label>From <input id="from" type="date"></label><label>To <input id="to" type="date"></label>
<button type="submit">Apply</button></form>
<p id="status"></p>
<h2>Runs that reported, per release and day, by outcome</h2>
<div id="chart"></div><div class="legend" id="legend"></div>
<table id="outcome-table"><thead><tr><th>release</th><th>day</th><th>outcome</th><th>runs</th></tr></thead><tbody></tbody></table>
<a id="outcomes-csv" href="#">CSV</a>
<h2>Most frequent errors</h2>
<table id="error-table"><thead><tr><th>number</th><th>name</th><th>count</th><th>runs</th><th>example</th></tr></thead><tbody></tbody></table>
<a id="errors-csv" href="#">CSV</a>
<h2>Runs</h2>
<table id="run-table"><thead><tr><th>id</th><th>day</th><th>release</th><th>version</th><th>outcome</th><th>records</th><th>errors</th></tr></thead><tbody></tbody></table>
<a id="runs-csv" href="#">CSV</a>
<h2 id="run-title">One run's log</h2>
<table id="run-records"><thead><tr><th>Message</th><th>Detailed Message</th><th>Error Number</th><th>File</th><th>Line</th></tr></thead><tbody></tbody></table>
<a id="run-csv" href="#"></a>
<script>
"use strict";
const colours={gave_up:"#d62728",save_failure:"#9467bd",withdrawn:"#8c564b",incomplete:"#e377c2",setup:"#ff7f0e",closed:"#1f77b4",other:"#7f7f7f"};
const $=id=>document.getElementById(id);
function query(){const p=new URLSearchParams();for(const k of["release","from","to"]){if($(k).value)p.set(k,$(k).value);}return p.toString();}
async function get(path){const r=await fetch(path,{credentials:"same-origin"});if(!r.ok)throw new Error(path+": "+r.status);return r.json();}
function fill(table,rows){const body=$(table).tBodies[0];body.replaceChildren();for(const cells of rows){const tr=body.insertRow();for(const c of cells){tr.insertCell().textContent=String(c);}}return body;}
function chart(data,kinds){
  const groups=[];const index={};
  for(const o of data){const key=o.release+" "+o.day;if(!(key in index)){index[key]=groups.length;groups.push({key,counts:{}});}groups[index[key]].counts[o.outcome]=o.runs;}
  const max=Math.max(1,...groups.map(g=>Object.values(g.counts).reduce((a,b)=>a+b,0)));
  const ns="http://www.w3.org/2000/svg";const w=Math.max(300,groups.length*70+40),h=220;
  const svg=document.createElementNS(ns,"svg");svg.setAttribute("width",w);svg.setAttribute("height",h+40);svg.setAttribute("id","outcome-chart");
  groups.forEach((g,i)=>{let y=h;for(const k of kinds){const n=g.counts[k]||0;if(!n)continue;const bh=n/max*(h-10);y-=bh;
    const r=document.createElementNS(ns,"rect");r.setAttribute("x",30+i*70);r.setAttribute("y",y);r.setAttribute("width",50);r.setAttribute("height",bh);
    r.setAttribute("fill",colours[k]||"#000");r.setAttribute("data-outcome",k);r.setAttribute("data-runs",n);
    const t=document.createElementNS(ns,"title");t.textContent=g.key+": "+k+" "+n;r.appendChild(t);svg.appendChild(r);}
    const label=document.createElementNS(ns,"text");label.setAttribute("x",30+i*70);label.setAttribute("y",h+15);label.setAttribute("font-size","10");label.textContent=g.key;svg.appendChild(label);});
  $("chart").replaceChildren(svg);
  $("legend").replaceChildren(...kinds.map(k=>{const s=document.createElement("span");const b=document.createElement("i");b.className="swatch";b.style.background=colours[k];s.append(b,k.replace("_"," "));return s;}));
}
async function openRun(id){
  const d=await get("/api/runs/"+id);
  $("run-title").textContent="Run "+d.run.id+": "+d.run.release+" "+d.run.version+", "+d.run.outcome+", "+d.run.day;
  fill("run-records",d.records.map(r=>[r.message,r.detailed_message,r.error_number,r.file,r.line]));
  $("run-csv").href="/api/runs/"+id+".csv";$("run-csv").textContent="CSV";
}
async function load(){
  try{
    const q=query();const o=await get("/api/outcomes?"+q);
    const sel=$("release");const chosen=sel.value;
    sel.replaceChildren(new Option("all",""),...o.releases.map(r=>new Option(r,r)));sel.value=chosen;
    chart(o.outcomes,o.kinds);
    fill("outcome-table",o.outcomes.map(x=>[x.release,x.day,x.outcome,x.runs]));
    const e=await get("/api/errors?"+q);
    fill("error-table",e.errors.map(x=>[x.number,x.name,x.count,x.runs,x.example]));
    const r=await get("/api/runs?"+q);
    const body=fill("run-table",r.runs.map(x=>[x.id,x.day,x.release,x.version,x.outcome,x.records,x.errors]));
    [...body.rows].forEach((tr,i)=>{tr.className="run";tr.dataset.id=r.runs[i].id;tr.addEventListener("click",()=>openRun(r.runs[i].id));});
    for(const v of["outcomes","errors","runs"])$(v+"-csv").href="/api/"+v+".csv?"+q;
    $("status").textContent="";document.body.dataset.loaded=String(Number(document.body.dataset.loaded||0)+1);
  }catch(err){$("status").textContent=String(err);}
}
$("filters").addEventListener("submit",ev=>{ev.preventDefault();load();});
load();
</script></body></html>
)page";
